// Pure rules with many cases, one line a case; everything else is shown end to end by the rows.
#include <algorithm>
#include <set>

#include "app/switches.h"
#include "drivers/acpi_driver.h"
#include "drivers/vhid_driver.h"
#include "features/rotation.h"
#include "features/usage_mode.h"
#include "harness/rows.h"
#include "support/files.h"
#include "support/process.h"
#include "support/text.h"

TEST(Rules, UsageModeWords)
{
    const struct
    {
        const wchar_t* argument;
        bool wait;
        int mode;  // -1: none
    } cases[] = {
        {L"/qmxmv", false, 1},           {L"/qmxmu", false, 3},     {L"/qmxnor", false, 0},
        {L"-qmxPh", false, 2},           {L"/qmxphmv", false, 1},   {L"/qmxnumunor", false, 3},
        {L"/qmxnormal", false, 0},       {L"/qmx", false, -1},      {L"mu-qmxph", false, 2},
        {L"/qmxmumv", false, 1},         {L"mv/qmx", false, -1},    {L"/QMXWAITMV", true, 1},
        {L"/qmxnorwait", true, -1},      {L"/qmxmvwait", true, -1}, {L"/qmxwaitxph", true, 2},
        {L"/qmxwa\x0130tnor", false, 0}, {L"mv", false, -1},        {L"", false, -1},
    };
    for (const auto& c : cases)
    {
        const UsageModeRequest request = ParseUsageModeArgument(c.argument);
        EXPECT_EQ(request.waitForShell, c.wait) << machine::Narrow(c.argument);
        EXPECT_EQ(request.hasMode ? request.mode : -1, c.mode) << machine::Narrow(c.argument);
    }
}

TEST(Rules, InfPathFromDeviceDesc)
{
    const std::wstring a240(240, L'a');
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"oem12.inf,%desc%;x", L"C:\\windows\\INF\\oem12.inf"},
        {L"@oem3.inf", L"C:\\windows\\INF\\oem3.inf"},
        {L"@oem1.inf,x.inf", L"C:\\windows\\INF\\oem1.inf"},
        {L"@OEM12.INF,%desc%", L""},
        {L"Tesmar ACPI Device", L""},
        {L"@.inf,%desc%", L""},
        {L".inf", L""},
        {L"", L""},
        {L"@" + a240 + L".inf,%d%", L"C:\\windows\\INF\\" + a240 + L".inf"},
        {L"@a" + a240 + L".inf", L""},
    };
    for (const auto& c : cases)
    {
        wchar_t path[kPathChars] = L"untouched";
        EXPECT_EQ(InfPathFromDeviceDesc(c.first.c_str(), path, kPathChars), !c.second.empty())
            << machine::Narrow(c.first);
        EXPECT_EQ(std::wstring(path), c.second) << machine::Narrow(c.first);
    }
}

TEST(Rules, VersionOrderIsUnsigned)
{
    auto v = [](WORD a, WORD b, WORD c, WORD d) { return FileVersion{MAKELONG(d, c), MAKELONG(b, a)}; };
    EXPECT_TRUE(IsVersionOlder(v(1, 2, 3, 4), v(1, 2, 3, 5)));
    EXPECT_FALSE(IsVersionOlder(v(1, 2, 3, 4), v(1, 2, 3, 4)));
    EXPECT_FALSE(IsVersionOlder(v(2, 0, 0, 0), v(1, 9, 9, 9)));
    EXPECT_TRUE(IsVersionOlder(v(1, 0, 1, 0), v(1, 0, 40000, 0)));
    EXPECT_TRUE(IsVersionOlder(v(1, 9, 65535, 65535), v(2, 0, 0, 0)));
    EXPECT_FALSE(IsVersionOlder(v(32768, 0, 0, 0), v(1, 0, 0, 0)));  // a signed compare would downgrade
    EXPECT_TRUE(IsVersionOlder(v(1, 0, 0, 0), v(32768, 0, 0, 0)));
}

TEST(Rules, BoundedTexts)
{
    wchar_t buffer[16], line[kPathChars];
    wmemset(buffer, L'#', 16);
    EXPECT_FALSE(FormatText(buffer, 8, L"%s-%d", L"Größe und mehr", 5));
    EXPECT_EQ(std::wstring(buffer, 16), std::wstring(L"Größe u\0########", 16));
    EXPECT_TRUE(BuildCommandLine(line, 18, L"C:\\a b\\t.exe", L" /S") &&
                !BuildCommandLine(line, 17, L"C:\\a b\\t.exe", L" /S"));
    EXPECT_TRUE(ComposeProfilePath(std::wstring(kPathChars - 16, L'a').c_str(), line));
    EXPECT_FALSE(ComposeProfilePath(std::wstring(kPathChars - 15, L'a').c_str(), line));
    EXPECT_FALSE(ComposeProfilePath(L"", line)) << "the profile would land in the current drive's root";
    VhidPackagePaths paths;
    EXPECT_FALSE(BuildVhidPackagePaths(L"Instelix.exe", true, &paths)) << "no folder";
    EXPECT_FALSE(BuildVhidPackagePaths((L"C:\\" + std::wstring(236, L'd') + L"\\I.exe").c_str(), true, &paths));
}

// The callers' reference lists exactly the forms the program accepts, and each form selects its row.
TEST(Rules, ReferenceListsEveryForm)
{
    std::set<std::wstring> documented, accepted;
    for (const DocumentedSwitch& row : DocumentedSwitches())
    {
        for (const std::wstring& form : row.forms)
        {
            EXPECT_TRUE(FindSwitch(form.c_str()) != nullptr &&
                        FindSwitch(form.c_str()) == FindSwitch(row.forms[0].c_str()))
                << row.name;
            documented.insert(form);
        }
    }
    size_t rows = 0;
    const SwitchRow* table = ProgramSwitchTable(&rows);
    for (size_t row = 0; row < rows; ++row)
        for (const wchar_t* form : table[row].forms)
            if (form != nullptr)
                accepted.insert(form);
    EXPECT_EQ(documented, accepted);
}

// GetKeyState reads the calling thread's own keyboard state, which another program cannot set.
TEST(Rules, HeldModifierRefusesRotation)
{
    for (BYTE modifier : {VK_CONTROL, VK_SHIFT, VK_MENU})
    {
        BYTE state[256] = {};
        state[modifier] = 0x80;
        ASSERT_TRUE(SetKeyboardState(state));
        EXPECT_EQ(RunSetRotationChore(0), 0u) << modifier;
        state[modifier] = 0;
        SetKeyboardState(state);
    }
    EXPECT_FALSE(ModifierKeyHeld());
}

namespace
{
int shellAt = 0, asked = 0;
std::vector<DWORD> slept;
void WINAPI Note(DWORD ms)
{
    slept.push_back(ms);
}
}  // namespace

// The shell waits poll every second and then settle; the real ten seconds run once, in a row.
TEST(Rules, UsageModeWaitsForTheShell)
{
    for (int at : {1, 3})
    {
        shellAt = at, asked = 0, slept.clear();
        RunUsageModeChore(
            L"/qmxwait", []() -> DWORD { return ++asked >= shellAt ? 4242 : 0; }, Note);
        EXPECT_EQ(slept, (at == 1 ? std::vector<DWORD>{10000} : std::vector<DWORD>{1000, 1000, 10000}));
    }
}
