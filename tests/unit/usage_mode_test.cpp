#include <gtest/gtest.h>

#include <string>

#include "features/usage_mode.h"
#include "support/text.h"

TEST(UsageMode, ArgumentNamesWaitAndMode)
{
    const int none = -1;
    const struct
    {
        const wchar_t* argument;
        bool wait;
        int mode;
    } cases[] = {
        {L"/qmxmv", false, 1},
        {L"/qmxmu", false, 3},
        {L"/qmxnor", false, 0},
        {L"/qmxph", false, 2},
        {L"/QMXMU", false, 3},       // letters count in either case
        {L"-qmxPh", false, 2},
        {L"/qmxphmv", false, 1},     // "mv" is tested before "ph", wherever it stands
        {L"/qmxnumunor", false, 3},  // and "mu" before "nor"
        {L"/qmxnormal", false, 0},   // a word counts inside a longer one
        {L"/qmx", false, none},
        {L"/qmxzz", false, none},
        {L"mu-qmxph", false, 2},  // the first three characters are skipped, wherever the switch is
        {L"mv/qmx", false, none},
        {L"ab-qmxnor", false, 0},
        {L"/qmxwaitnor", true, 0},
        {L"/QMXWAITMV", true, 1},
        {L"/qmxnorwait", true, none},  // four more skipped after "wait": only its letters are left
        {L"/qmxmvwait", true, none},
        {L"/qmxwaitxph", true, 2},
        {L"/qmxwa\x0130tnor", false, 0},  // only A to Z are folded: a dotted capital I is no "i"
        {L"", false, none},               // shorter than the skipped part: an empty remainder
        {L"m", false, none},
        {L"mv", false, none},
        {L"nor", false, none},
    };
    for (const auto& c : cases)
    {
        const UsageModeRequest request = ParseUsageModeArgument(c.argument);
        EXPECT_EQ(request.waitForShell, c.wait) << c.argument;
        EXPECT_EQ(request.hasMode ? request.mode : none, c.mode) << c.argument;
    }
}

TEST(UsageMode, ProfilePathNeedsAFolderAndMustFit)
{
    wchar_t path[kPathChars];
    ASSERT_TRUE(ComposeProfilePath(L"C:\\ProgramData", path));
    EXPECT_STREQ(path, L"C:\\ProgramData\\tmspr_prof.cfg");
    // Without the folder the entry would land in the root of the current drive.
    EXPECT_FALSE(ComposeProfilePath(L"", path));
    // A cut path would name some other file.
    const std::wstring longest(kPathChars - 1 - wcslen(L"\\tmspr_prof.cfg"), L'a');
    EXPECT_TRUE(ComposeProfilePath(longest.c_str(), path));
    EXPECT_FALSE(ComposeProfilePath((longest + L"a").c_str(), path));
}
