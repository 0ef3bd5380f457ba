// Pure rules with many cases, one line a case; everything else is shown end to end by the rows.
#include "drivers/acpi_driver.h"
#include "drivers/vhid_driver.h"
#include "features/rotation.h"
#include "features/usage_mode.h"
#include "harness/harness.h"
#include "support/files.h"
#include "support/process.h"

TEST(Rules, UsageModeWords)
{
    // The argument, whether it waits for the shell, and its mode (-1: none).
    // clang-format off
    const std::tuple<const wchar_t*, bool, int> cases[] = {
        {L"/qmxmv", false, 1}, {L"/qmxmu", false, 3}, {L"/qmxnor", false, 0}, {L"-qmxPh", false, 2},
        {L"/qmxphmv", false, 1}, {L"/qmxnumunor", false, 3}, {L"/qmxnormal", false, 0}, {L"/qmx", false, -1},
        {L"mu-qmxph", false, 2}, {L"/qmxmumv", false, 1}, {L"mv/qmx", false, -1}, {L"/QMXWAITMV", true, 1},
        {L"/qmxnorwait", true, -1}, {L"/qmxmvwait", true, -1}, {L"/qmxwaitxph", true, 2}, {L"mv", false, -1},
        {L"/qmxwa\x0130tnor", false, 0}, {L"", false, -1}};
    // clang-format on
    for (const auto& [argument, wait, mode] : cases)
    {
        const UsageModeRequest request = ParseUsageModeArgument(argument);
        EXPECT_EQ(std::make_pair(request.waitForShell, request.hasMode ? request.mode : -1), std::make_pair(wait, mode))
            << machine::Narrow(argument);
    }
}

TEST(Rules, InfPathFromDeviceDesc)
{
    const std::wstring a240(240, L'a');
    const std::wstring inf = L"C:\\windows\\INF\\";
    // clang-format off
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"oem12.inf,%desc%;x", inf + L"oem12.inf"}, {L"@oem3.inf", inf + L"oem3.inf"}, {L".inf", L""}, {L"", L""},
        {L"@oem1.inf,x.inf", inf + L"oem1.inf"}, {L"@OEM12.INF,%desc%", L""}, {L"Tesmar ACPI Device", L""},
        {L"@.inf,%desc%", L""}, {L"@" + a240 + L".inf,%d%", inf + a240 + L".inf"}, {L"@a" + a240 + L".inf", L""}};
    // clang-format on
    for (const auto& [description, expected] : cases)
    {
        wchar_t path[kPathChars] = L"untouched";
        EXPECT_EQ(InfPathFromDeviceDesc(description.c_str(), path, kPathChars), !expected.empty());
        EXPECT_EQ(std::wstring(path), expected) << machine::Narrow(description);
    }
}

TEST(Rules, VersionOrderIsUnsigned)
{
    auto v = [](WORD a, WORD b, WORD c, WORD d) {
        const DWORD low = MAKELONG(d, c);
        const DWORD high = MAKELONG(b, a);
        return FileVersion{low, high};
    };
    EXPECT_TRUE(IsVersionOlder(v(1, 0, 1, 0), v(1, 0, 40000, 0)));
    EXPECT_TRUE(IsVersionOlder(v(1, 9, 65535, 65535), v(2, 0, 0, 0)));
    EXPECT_FALSE(IsVersionOlder(v(32768, 0, 0, 0), v(1, 0, 0, 0)));  // a signed compare would downgrade
    EXPECT_TRUE(IsVersionOlder(v(1, 0, 0, 0), v(32768, 0, 0, 0)));
}

TEST(Rules, BoundedTexts)
{
    wchar_t buffer[16];
    wmemset(buffer, L'#', 16);
    EXPECT_FALSE(FormatText(buffer, 8, L"%s-%d", L"Größe und mehr", 5));
    EXPECT_EQ(std::wstring(buffer, 16), std::wstring(L"Größe u\0########", 16));
    wchar_t line[kPathChars];
    EXPECT_TRUE(BuildCommandLine(line, 18, L"C:\\a b\\t.exe", L" /S"));
    EXPECT_FALSE(BuildCommandLine(line, 17, L"C:\\a b\\t.exe", L" /S"));
    EXPECT_TRUE(ComposeProfilePath(std::wstring(kPathChars - 16, L'a').c_str(), line));
    EXPECT_FALSE(ComposeProfilePath(std::wstring(kPathChars - 15, L'a').c_str(), line));
    EXPECT_FALSE(ComposeProfilePath(L"", line)) << "the profile would land in the current drive's root";
    VhidPackagePaths paths;
    EXPECT_FALSE(BuildVhidPackagePaths(L"Instelix.exe", true, &paths)) << "no folder";
    EXPECT_FALSE(BuildVhidPackagePaths((L"C:\\" + std::wstring(236, L'd') + L"\\I.exe").c_str(), true, &paths));
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

static int shellAt = 0;
static int asked = 0;
static std::vector<DWORD> slept;
static void WINAPI Note(DWORD ms)
{
    slept.push_back(ms);
}

// The shell waits poll every second and then settle; the real ten seconds run once, in a row.
TEST(Rules, UsageModeWaitsForTheShell)
{
    for (int at : {1, 3})
    {
        shellAt = at;
        asked = 0;
        slept.clear();
        auto findShell = []() -> DWORD {
            ++asked;
            return asked >= shellAt ? 4242 : 0;
        };
        RunUsageModeChore(L"/qmxwait", findShell, Note);
        EXPECT_EQ(slept, (at == 1 ? std::vector<DWORD>{10000} : std::vector<DWORD>{1000, 1000, 10000}));
    }
}

static std::vector<std::pair<std::wstring, DWORD>> loads;
static DWORD refusal = 0;
static HMODULE WINAPI RefuseFirstLoad(LPCWSTR name, HANDLE, DWORD flags)
{
    loads.emplace_back(name, flags);
    if (loads.size() > 1 || refusal == 0)
        return reinterpret_cast<HMODULE>(0x1000 * loads.size());
    SetLastError(refusal);
    return nullptr;
}

// Windows 7 without update KB2533623 refuses the System32-only flag as an invalid parameter: version.dll then comes
// by its full path in the system folder, never by its bare name. Any other failure is final.
TEST(Rules, VersionDllFromTheSystemFolderOnly)
{
    wchar_t system[MAX_PATH];
    const UINT systemChars = GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring dll = std::wstring(system, systemChars) + L"\\version.dll";
    using Loads = std::vector<std::pair<std::wstring, DWORD>>;
    const Loads restricted = {{L"version.dll", LOAD_LIBRARY_SEARCH_SYSTEM32}};
    const Loads fallback = {restricted[0], {dll, LOAD_WITH_ALTERED_SEARCH_PATH}};
    const std::tuple<DWORD, Loads, UINT_PTR> cases[] = {{0, restricted, 0x1000},
                                                        {ERROR_INVALID_PARAMETER, fallback, 0x2000},
                                                        {ERROR_MOD_NOT_FOUND, restricted, 0},
                                                        {ERROR_ACCESS_DENIED, restricted, 0}};
    for (const auto& [error, expected, module] : cases)
    {
        loads.clear();
        refusal = error;
        EXPECT_EQ(reinterpret_cast<UINT_PTR>(LoadSystemVersionDll(RefuseFirstLoad)), module) << error;
        EXPECT_EQ(loads, expected) << error;
    }
}
