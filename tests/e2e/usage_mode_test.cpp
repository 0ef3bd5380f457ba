#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "features/usage_mode.h"
#include "harness/harness.h"
#include "harness/modes.h"

using namespace harness;

namespace
{
const wchar_t kQmx[] = L"TesmarQMX.dll";
using Calls = std::vector<std::wstring>;

class UsageModeRun : public ::testing::Test
{
protected:
    Calls QmxCalls() const { return LibraryCalls(journal_.Lines(), kQmx); }

    CleanSettingsKey key_;
    ScopedProfile profile_;
    Journal journal_;
};

// Hooks for the chore run inside the test: the shell shows up at question `shellAt`, and sleeps are only noted.
int shellAt = 1;
int questions = 0;
std::vector<DWORD> sleeps;

DWORD FakeShell()
{
    return ++questions >= shellAt ? 4242 : 0;
}

void WINAPI RecordSleep(DWORD milliseconds)
{
    sleeps.push_back(milliseconds);
}
}  // namespace

TEST_F(UsageModeRun, SetsTheNamedModeAndRecordsItForEachArgument)
{
    const struct
    {
        const wchar_t* arguments;
        Calls calls;
        const char* initWait;  // null: the profile is not written
    } cases[] = {
        {L"/qmxmv", {L"load", L"SetQmxMode 1", L"free"}, "1"},
        {L"-qmxmu", {L"load", L"SetQmxMode 3", L"free"}, "3"},
        {L"/QMXNOR", {L"load", L"SetQmxMode 0", L"free"}, "0"},
        {L"-QMXPH", {L"load", L"SetQmxMode 2", L"free"}, "2"},
        {L"/qmxphmv", {L"load", L"SetQmxMode 1", L"free"}, "1"},
        {L"mu-qmxnor", {L"load", L"SetQmxMode 0", L"free"}, "0"},
        {L"/qmx", {L"load", L"free"}, nullptr},
        {L"/Qmxmv", {}, nullptr},  // mixed case is no usage-mode switch
        // Each argument loads and releases the library; the last one naming a mode wins.
        {L"/qmxmv -qmxph", {L"load", L"SetQmxMode 1", L"free", L"load", L"SetQmxMode 2", L"free"}, "2"},
        {L"/qmxmu /qmx", {L"load", L"SetQmxMode 3", L"free", L"load", L"free"}, "3"},
    };
    PlacedLibrary library(kQmx, QmxLibraryPath());
    for (const auto& c : cases)
    {
        RemoveFile(profile_.Path());
        RemoveFile(journal_.Path());
        const RunResult run = RunInstelix(c.arguments);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, 0u) << c.arguments;
        EXPECT_EQ(QmxCalls(), c.calls) << c.arguments;
        EXPECT_EQ(profile_.Exists(), c.initWait != nullptr) << c.arguments;
        EXPECT_EQ(profile_.InitWait(), c.initWait != nullptr ? c.initWait : "") << c.arguments;
    }
    EXPECT_FALSE(KeyExists(View::Bits64, kSettingsKey));
}

TEST_F(UsageModeRun, KeepsTheRestOfTheProfile)
{
    const std::string before = "; kept by the settings application\r\n"
                               "[Window]\r\nLeft=10\r\nInitWait=7\r\n"
                               "[ConfigParam]\r\nFirst=a\r\nInitWait=3\r\nLast=z\r\n"
                               "[Other]\r\nKey=Value\r\n";
    WriteBytes(profile_.Path(), before);
    PlacedLibrary library(kQmx, QmxLibraryPath());
    EXPECT_EQ(RunInstelix(L"/qmxnor").exitCode, 0u);
    std::string expected = before;
    expected.replace(expected.find("InitWait=3"), 10, "InitWait=0");
    EXPECT_EQ(ReadBytes(profile_.Path()), expected);
}

TEST_F(UsageModeRun, IncompleteLibraryIsNeverCalledThroughButTheModeIsRecorded)
{
    const struct
    {
        Placement placement;
        const wchar_t* fixture;
        Calls calls;
    } cases[] = {
        {Absent, kQmx, {}},
        {OtherRoot, kQmx, {}},
        // SetQmxMode is exported but is only looked up after CheckLibraryReadyNow.
        {Installed, L"TesmarQMX-nocheck.dll", {L"load", L"free"}},
        {Installed, L"TesmarQMX-noset.dll", {L"load", L"free"}},
        {Installed, L"TesmarQMX-noget.dll", {L"load", L"SetQmxMode 2", L"free"}},
    };
    for (const auto& c : cases)
    {
        RemoveFile(profile_.Path());
        RemoveFile(journal_.Path());
        std::unique_ptr<PlacedLibrary> library;
        if (c.placement != Absent)
            library = std::make_unique<PlacedLibrary>(c.fixture, QmxLibraryPath(c.placement == OtherRoot));
        EXPECT_EQ(RunInstelix(L"/qmxph /PHONECOMPANION").exitCode, 0u) << c.fixture;
        EXPECT_EQ(QmxCalls(), c.calls) << c.fixture << " placement " << c.placement;
        EXPECT_EQ(profile_.InitWait(), "2") << c.fixture << " placement " << c.placement;
    }
}

TEST_F(UsageModeRun, WaitPausesAfterTheShellAndThenSkipsTheWord)
{
    const struct
    {
        const wchar_t* argument;
        int shellAt;
        std::vector<DWORD> sleeps;
        Calls calls;
        const char* initWait;
    } cases[] = {
        {L"/qmxwaitnor", 1, {10000}, {L"load", L"SetQmxMode 0", L"free"}, "0"},
        {L"/qmxwaitnor", 3, {1000, 1000, 10000}, {L"load", L"SetQmxMode 0", L"free"}, "0"},
        // What is left after "wait" and four more characters holds no mode word.
        {L"/qmxnorwait", 1, {10000}, {L"load", L"free"}, nullptr},
        {L"/qmxmv", 5, {}, {L"load", L"SetQmxMode 1", L"free"}, "1"},
    };
    PlacedLibrary library(kQmx, QmxLibraryPath());
    for (const auto& c : cases)
    {
        RemoveFile(profile_.Path());
        RemoveFile(journal_.Path());
        shellAt = c.shellAt;
        questions = 0;
        sleeps.clear();
        RunUsageModeChore(c.argument, FakeShell, RecordSleep);
        EXPECT_EQ(sleeps, c.sleeps) << c.argument;
        EXPECT_EQ(QmxCalls(), c.calls) << c.argument;
        EXPECT_EQ(profile_.Exists(), c.initWait != nullptr) << c.argument;
        EXPECT_EQ(profile_.InitWait(), c.initWait != nullptr ? c.initWait : "") << c.argument;
    }
}

// The one run that takes the real ten-second pause.
TEST_F(UsageModeRun, WaitTakesTenSecondsEndToEnd)
{
    PlacedLibrary library(kQmx, QmxLibraryPath());
    ScopedShell shell;
    const ULONGLONG start = GetTickCount64();
    const RunResult run = RunInstelix(L"/QMXWAITMU", 30000);
    const ULONGLONG elapsed = GetTickCount64() - start;
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_GE(elapsed, 10000u);
    EXPECT_EQ(QmxCalls(), (Calls{L"load", L"SetQmxMode 3", L"free"}));
    EXPECT_EQ(profile_.InitWait(), "3");
}
