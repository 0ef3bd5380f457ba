// What a row cannot show: registry values of odd types and sizes, keys without access, writers racing the log, a
// version.dll planted beside a program, the profile held while it is written and the placed service executable's
// permissions.
#include "harness/harness.h"

#include <aclapi.h>
#include <sddl.h>

#include <map>

#include "features/usage_mode.h"
#include "support/registry.h"

namespace
{
// Under SYSTEM\CurrentControlSet, so the string routines (default view) and the DWORD routines (64-bit view) meet.
const wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Services\\InstelixFaults";
const std::string kValue = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\InstelixFaults: Value";

bool SetAccess(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    bool set = false;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr) == ERROR_SUCCESS)
    {
        set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return set;
}
}  // namespace

// A read gives the value whole (a DWORD of up to four bytes zero-extended, a text terminated) or fails ("-") and
// leaves the caller's variable alone; a text that fits until expanded fails rather than arrive cut.
TEST(Faults, OddRegistryValues)
{
    wchar_t folder[MAX_PATH];
    const DWORD folderChars = ExpandEnvironmentStringsW(L"%CommonProgramFiles%\\", folder, MAX_PATH);
    const std::string expanded(folder, folder + folderChars - 1);  // without the terminator
    const std::string expands = "REG_EXPAND_SZ %CommonProgramFiles%\\";
    const std::string tail(kPathChars - 1 - expanded.size(), 'a');  // with the folder, the 259 characters that fit
    const std::string b259(259, 'b');
    const std::string big = "type 3, bytes:" + std::string(1800, ' ');
    // clang-format off
    const std::tuple<std::string, bool, DWORD, std::string> cases[] = {
        {"type 4, bytes:", true, 0, ""}, {"type 3, bytes: 41 00 42", true, 0x420041, "AB"}, {big, false, 0, "-"},
        {"type 7, bytes: 61 00 00 00 62 00 00 00 00 00", false, 0, "a"}, {"REG_SZ " + b259, false, 0, b259},
        {"REG_SZ " + b259 + "b", false, 0, "-"}, {expands + tail, false, 0, expanded + tail},
        {expands + tail + "a", false, 0, "-"}};
    // clang-format on
    for (const auto& [stored, dwordRead, dword, text] : cases)
    {
        ASSERT_TRUE(machine::Apply(kValue, stored, L""));
        DWORD value = 0xCAFEF00D;
        wchar_t read[kPathChars];
        wmemset(read, L'x', kPathChars);
        EXPECT_EQ(ReadRegDword(&value, kKey, L"Value"), dwordRead) << stored.substr(0, 40);
        EXPECT_EQ(value, dwordRead ? dword : 0xCAFEF00D) << stored.substr(0, 40);
        const bool textRead = ReadRegString(kKey, L"Value", read);
        EXPECT_EQ(textRead ? machine::Narrow(read) : "-" + machine::Narrow(read), text);
    }
}

// Setting a value needs neither the right to delete the key nor to change its rules.
TEST(Faults, KeysWithoutAccess)
{
    for (const auto& [sddl, readable, writable] :
         {std::make_tuple(L"D:", false, false), std::make_tuple(L"D:(D;;KR;;;WD)(A;;KA;;;WD)", false, true),
          std::make_tuple(L"D:(A;;KR;;;WD)", true, false), std::make_tuple(L"D:(A;;0x2001f;;;WD)", true, true)})
    {
        ASSERT_TRUE(machine::Apply(kValue, "REG_DWORD 7", L""));
        ASSERT_TRUE(SetAccess(sddl));
        DWORD value = 42;
        wchar_t text[kPathChars];
        const bool dwordRead = RegKeyExists(kKey) && ReadRegDword(&value, kKey, L"Value");
        EXPECT_EQ(dwordRead && value == 7, readable);
        EXPECT_EQ(ReadRegString(kKey, L"Value", text), readable);
        EXPECT_EQ(WriteRegDword(9, kKey, L"Value"), writable) << machine::Narrow(sddl);
        ASSERT_TRUE(SetAccess(L"D:(A;;KA;;;WD)"));
        ASSERT_TRUE(ReadRegDword(&value, kKey, L"Value"));
        EXPECT_EQ(value, writable ? 9u : 7u);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
}

// Four writers and the program race for the log while a viewer follows it: every line arrives once, in its
// writer's order, and what was written never changes.
TEST(Faults, RacingWriters)
{
    ASSERT_TRUE(machine::Apply("D:\\DeviceControl", "folder", L""));
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, L"InstelixGo");
    HANDLE ready = CreateSemaphoreW(nullptr, 0, 9, L"InstelixGo-ready");
    std::vector<HANDLE> writers;
    for (const wchar_t* name : {L"A", L"B", L"C", L"D"})
        writers.push_back(Start(L"\"" + Fixture("helper.exe") + L"\" --log wait:InstelixGo burst:" + name + L":150"));
    for (size_t started = 0; started < writers.size(); ++started)  // each is ready once it has opened the event
        ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    SetEvent(go);
    std::string seen;
    while (WaitForMultipleObjects(4, writers.data(), TRUE, 0) == WAIT_TIMEOUT)
    {
        const std::string bytes = machine::ReadBytes(kLogFile);
        EXPECT_EQ(bytes.compare(0, seen.size(), seen), 0) << "text already written changed";
        EXPECT_EQ(RunLine(L"\"" + kProgram + L"\" /POP"), 0u);
        seen = bytes;
    }
    std::map<char, int> next;
    for (const std::string& entry : LogEntries(kLogFile, false))
    {
        if (entry.rfind("error| ", 0) == 0)
        {
            const char writer = entry[7];
            EXPECT_EQ(entry, "error| " + std::string(1, writer) + " line:" + std::to_string(next[writer]));
            ++next[writer];
        }
        else
        {
            EXPECT_TRUE(Matches("Debug|g_UnloadWordDropCtl  CreateProcess failed *", entry.c_str())) << entry;
        }
    }
    EXPECT_EQ(next, (std::map<char, int>{{'A', 150}, {'B', 150}, {'C', 150}, {'D', 150}}));
    for (HANDLE writer : writers)
        CloseHandle(writer);
    CloseHandle(go);
    CloseHandle(ready);
}

// A version.dll planted beside a program is not the one that reads versions for it.
TEST(Faults, PlantedVersionDll)
{
    const std::wstring probe = L"C:\\Suite\\plant\\versionprobe.exe";
    machine::RemoveTree(L"C:\\Suite\\plant");
    ASSERT_TRUE(machine::Apply("C:\\Suite\\plant\\version.dll", "library standin-version.dll", Fixture("")));
    ASSERT_TRUE(machine::Apply("C:\\Suite\\plant\\versioned.exe", "version 1.2.3.4", Fixture("")));
    ASSERT_TRUE(CopyFileW(Fixture("versionprobe.exe").c_str(), probe.c_str(), FALSE));
    // Wine: prefer a native version.dll beside this program (what WINEDLLOVERRIDES=version=n,b would do).
    const wchar_t kOverrides[] = L"Software\\Wine\\AppDefaults\\versionprobe.exe\\DllOverrides";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kOverrides, L"version", REG_SZ, L"native,builtin", 30), 0);
    ClearJournal();
    EXPECT_EQ(RunLine(L"\"" + probe + L"\" -plainload"), 0u);  // an ordinary load takes the planted copy
    EXPECT_EQ(RunLine(L"\"" + probe + L"\" C:\\Suite\\plant\\versioned.exe"), 0u);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\versionprobe.exe");
    EXPECT_EQ(JournalLines(), (Lines{"version.dll: load", "version: 1.2.3.4"}));
}

// The profile checked is the profile written: while held it can be neither replaced nor renamed nor deleted, and the
// profile functions still write it, whether it was there before or was created by the hold.
TEST(Faults, HeldProfileStaysInPlace)
{
    const std::wstring folder = L"C:\\Suite\\profile\\";
    const std::wstring planted = folder + L"planted.cfg";
    // One file a case: Wine keeps a profile it has read in a cache of its own.
    const std::pair<std::wstring, std::string> cases[] = {{L"fresh.cfg", ""},
                                                          {L"kept.cfg", "[Other]\r\nKey=Value\r\n"}};
    for (const auto& [name, before] : cases)
    {
        const std::wstring path = folder + name;
        machine::RemoveTree(folder);
        machine::MakeDirs(folder);
        ASSERT_TRUE(before.empty() || machine::WriteBytes(path, before));
        ASSERT_TRUE(machine::WriteBytes(planted, "[ConfigParam]\r\nInitWait=9\r\n"));
        UniqueFile profile;
        ASSERT_TRUE(HoldProfile(path.c_str(), &profile)) << machine::Narrow(name);
        EXPECT_FALSE(MoveFileExW(planted.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) << "replaced";
        EXPECT_FALSE(MoveFileExW(path.c_str(), (folder + L"moved.cfg").c_str(), 0)) << "renamed";
        EXPECT_FALSE(DeleteFileW(path.c_str())) << "deleted";
        EXPECT_TRUE(WritePrivateProfileStringW(L"ConfigParam", L"InitWait", L"2", path.c_str()));
        profile.reset();
        const std::string after = machine::ReadBytes(path);
        EXPECT_NE(after.find("[ConfigParam]\r\nInitWait=2\r\n"), std::string::npos) << after;
        EXPECT_EQ(after.find("Key=Value") != std::string::npos, !before.empty()) << after;
    }
    machine::RemoveTree(folder);
}

namespace
{
// Whether an entry of the file's DACL allows everyone to change the file or its permissions.
bool EveryoneMayChange(const std::string& path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(machine::Widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    {
        ADD_FAILURE() << "no permissions for " << path;
        return true;
    }
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(everyone);
    CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size);
    const DWORD changes = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER;
    bool may = dacl == nullptr;  // no DACL at all allows everything
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i)
    {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        if (EqualSid(&ace->SidStart, everyone) && (ace->Mask & changes) != 0)
            may = true;
    }
    LocalFree(descriptor);
    return may;
}

// Lets everyone do anything with the file, as an installer's folder that lets users write would.
bool LetEveryoneChange(const std::string& path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    std::wstring name = machine::Widen(path);
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    bool set = false;
    if (GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        set = SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return set;
}
}  // namespace

// The service executable placed in the system folder takes that folder's permissions, not those of the installer's
// folder, on a first install and on a refresh alike.
TEST(Faults, PlacedServiceTakesTheSystemFolderPermissions)
{
    const std::string placed = "C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe";
    const std::string offered = Expand("{PF}\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe");
    const std::string imagePath = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr: ImagePath";
    using Items = std::vector<std::pair<std::string, std::string>>;
    const std::pair<const char*, Items> cases[] = {
        {"first install", {}}, {"refresh", {{imagePath, "REG_EXPAND_SZ " + placed}, {placed, "version 1"}}}};
    for (const auto& [chore, arranged] : cases)
    {
        machine::Reset();
        for (const auto& [name, value] : arranged)
            ASSERT_TRUE(machine::Apply(name, value, Fixture("")));
        ASSERT_TRUE(machine::Apply(offered, "version 2", Fixture("")));
        ASSERT_TRUE(LetEveryoneChange(offered));
        if (!EveryoneMayChange(offered))
            GTEST_SKIP() << "this machine keeps no permission that lets everyone write a file";
        EXPECT_EQ(RunLine(L"\"" + kProgram + L"\" /INSTALLSVR"), 1u) << chore;
        EXPECT_FALSE(EveryoneMayChange(placed)) << chore;
    }
    machine::Reset();
}
