// Faults around the shared routines: registry values of odd types and sizes, keys without access, a log that is
// missing, held, locked or raced, and a version.dll planted beside a program.
#include "harness/rows.h"

#include <sddl.h>

#include <map>

#include "support/registry.h"
#include "support/text.h"

namespace
{
// Under SYSTEM\CurrentControlSet, so the string routines (default view) and the DWORD routines (64-bit view) meet.
const wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Services\\InstelixFaults";
const std::string kValue = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\InstelixFaults: Value";

bool SetAccess(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HKEY key = nullptr;
    const bool set =
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr) &&
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr) == 0 &&
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == 0;
    return RegCloseKey(key), LocalFree(descriptor), set;
}
}  // namespace

// A read either gives the value whole (a DWORD of up to four bytes zero-extended, a text terminated) or fails and
// leaves the caller's variable alone; a text that expands past a path fails rather than arrive cut.
TEST(Faults, OddRegistryValues)
{
    wchar_t folder[MAX_PATH];  // a variable whose value is longer than its name, so the text fits until expanded
    const std::string expands = "%CommonProgramFiles%\\", expanded(folder, folder + ExpandEnvironmentStringsW(
                                                                                       L"%CommonProgramFiles%\\", folder, MAX_PATH) - 1);
    const std::string a(kPathChars - 1 - expanded.size(), 'a');
    std::string big = "type 3, bytes:";
    for (int i = 0; i < 600; ++i)
        big += " 41";
    const struct
    {
        std::string stored;
        bool dwordRead;
        DWORD dword;
        bool textRead;
        std::string text;
    } cases[] = {
        {"type 4, bytes:", true, 0, true, ""},
        {"type 3, bytes: 41 00 42", true, 0x420041, true, "AB"},
        {big, false, 0, false, ""},
        {"type 7, bytes: 61 00 00 00 62 00 00 00 00 00", false, 0, true, "a"},
        {"REG_SZ " + std::string(259, 'b'), false, 0, true, std::string(259, 'b')},
        {"REG_SZ " + std::string(260, 'b'), false, 0, false, ""},
        {"REG_EXPAND_SZ " + expands + a, false, 0, true, expanded + a},
        {"REG_EXPAND_SZ " + expands + a + "a", false, 0, false, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.stored.substr(0, 40));
        ASSERT_TRUE(machine::Apply(kValue, c.stored, L""));
        DWORD value = 0xCAFEF00D;
        EXPECT_EQ(ReadRegDword(&value, kKey, L"Value"), c.dwordRead);
        EXPECT_EQ(value, c.dwordRead ? c.dword : 0xCAFEF00D);
        wchar_t text[kPathChars];
        wmemset(text, L'x', kPathChars);
        EXPECT_EQ(ReadRegString(kKey, L"Value", text), c.textRead);
        EXPECT_EQ(machine::Narrow(text), c.text);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey), RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
}

// Setting a value needs neither the right to delete the key nor to change its rules.
TEST(Faults, KeysWithoutAccess)
{
    const struct
    {
        const wchar_t* rules;
        bool readable, writable;
    } cases[] = {{L"D:", false, false}, {L"D:(D;;KR;;;WD)(A;;KA;;;WD)", false, true}, {L"D:(A;;KR;;;WD)", true, false},
                 {L"D:(A;;0x2001f;;;WD)", true, true}};
    for (const auto& c : cases)
    {
        ASSERT_TRUE(machine::Apply(kValue, "REG_DWORD 7", L""));
        ASSERT_TRUE(SetAccess(c.rules));
        DWORD value = 42;
        wchar_t text[kPathChars] = L"untouched";
        EXPECT_EQ(RegKeyExists(kKey) && ReadRegDword(&value, kKey, L"Value") && value == 7, c.readable);
        EXPECT_EQ(ReadRegString(kKey, L"Value", text), c.readable);
        EXPECT_EQ(WriteRegDword(9, kKey, L"Value"), c.writable) << machine::Narrow(c.rules);
        ASSERT_TRUE(SetAccess(L"D:(A;;KA;;;WD)"));
        EXPECT_EQ(ReadRegDword(&value, kKey, L"Value") ? value : 0, c.writable ? 9u : 7u);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey), RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
}

namespace
{
const std::wstring kLogFile = L"D:\\DeviceControl\\em9.Log", kGone = L"D:\\DeviceControl.gone";

DWORD Probe(const std::wstring& steps)
{
    return RunLine(L"\"" + Fixture("supportprobe.exe") + L"\" " + steps, 20000);
}

void FreshLogFolder(const char* as = "folder")
{
    machine::RemoveTree(kGone);
    machine::RemoveTree(L"D:\\DeviceControl");
    ASSERT_TRUE(machine::Apply("D:\\DeviceControl", as, L""));
}
}  // namespace

// Logging is on while the folder exists; the first entry that misses it turns logging off for the run. A message
// is cut to 511 units, and each run numbers its lines from 0.
TEST(Faults, LogGate)
{
    const struct
    {
        const char* start;
        const wchar_t* steps;
        Lines lines, gone;
    } cases[] = {
        {"absent", L"error:a folder error:b", {}, {}},
        {"text: not a folder", L"error:a", {}, {}},
        {"folder", L"error:a nofolder error:b folder error:c", {}, {"error| a"}},
        {"folder", L"debug:Größe long:510 long:511 long:2000", {"Debug| Größe", "error|" + std::string(510, 'x'),
         "error|" + std::string(511, 'x'), "error|" + std::string(511, 'x')}, {}},
    };
    for (const auto& c : cases)
    {
        FreshLogFolder(c.start);
        EXPECT_EQ(Probe(c.steps), 0u);
        EXPECT_EQ(LogEntries(), c.lines);
        EXPECT_EQ(LogEntries(kGone + L"\\em9.Log"), c.gone);
    }
}

// A reader holding the log, even with a lock over the whole file, never stalls the program nor loses earlier text.
TEST(Faults, HeldLog)
{
    const struct
    {
        DWORD sharing, attributes;
        bool lock;
        size_t lines;  // -1: as Windows or Wine allow
    } cases[] = {{FILE_SHARE_READ, 0, false, 0}, {FILE_SHARE_READ | FILE_SHARE_WRITE, 0, true, size_t(-1)},
                 {FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_ATTRIBUTE_HIDDEN, false, 2}};
    for (const auto& c : cases)
    {
        FreshLogFolder();
        machine::WriteBytes(kLogFile, std::string("k\0\r\0\n\0", 6));
        SetFileAttributesW(kLogFile.c_str(), c.attributes);
        HANDLE reader = CreateFileW(kLogFile.c_str(), GENERIC_READ, c.sharing, nullptr, OPEN_EXISTING, 0, nullptr);
        OVERLAPPED all = {};
        ASSERT_TRUE(!c.lock || LockFileEx(reader, 0, 0, MAXDWORD, MAXDWORD, &all));
        EXPECT_EQ(Probe(L"error:one debug:two"), 0u) << "the program waits for the log";
        CloseHandle(reader);
        SetFileAttributesW(kLogFile.c_str(), FILE_ATTRIBUTE_NORMAL);
        const std::string bytes = machine::ReadBytes(kLogFile);
        ASSERT_EQ(bytes.substr(0, 6), std::string("k\0\r\0\n\0", 6));
        machine::WriteBytes(kLogFile, bytes.substr(6));
        const size_t lines = LogEntries().size();
        EXPECT_TRUE(c.lines == size_t(-1) ? lines == 0 || lines == 2 : lines == c.lines) << lines;
    }
}

// Four writers and the program race for the log while a viewer follows it: every line arrives once, in its
// writer's order, and what was written never changes. Then the folder goes away in the middle of a burst.
TEST(Faults, RacingWriters)
{
    for (const bool removeFolder : {false, true})
    {
        FreshLogFolder();
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, L"InstelixGo"), ready = CreateSemaphoreW(nullptr, 0, 9, L"InstelixGo-ready");
        std::vector<HANDLE> writers;
        for (const wchar_t* name : {L"A", L"B", L"C", L"D"})
        {
            std::wstring line = L"\"" + Fixture("supportprobe.exe") + L"\" wait:InstelixGo burst:" + name + L":500";
            STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
            PROCESS_INFORMATION process = {};
            ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
            writers.push_back(process.hProcess);
            CloseHandle(process.hThread);
            ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
        }
        SetEvent(go);
        std::string seen;
        bool moved = false;
        while (WaitForMultipleObjects(4, writers.data(), TRUE, 0) == WAIT_TIMEOUT)
        {
            const std::string bytes = machine::ReadBytes(kLogFile);
            EXPECT_TRUE(moved || bytes.compare(0, seen.size(), seen) == 0) << "text already written changed";
            seen = bytes;
            moved = moved || (removeFolder && bytes.size() > 20000 && MoveFileExW(L"D:\\DeviceControl", kGone.c_str(), 0));
            const DWORD program = removeFolder ? 0 : RunLine(L"\"" + Fixture("..\\Instelix.exe") + L"\" /POP");
            EXPECT_EQ(program, 0u) << "the program's lines join in";
        }
        std::map<char, int> next;
        for (const std::string& entry : LogEntries(removeFolder ? kGone + L"\\em9.Log" : kLogFile, false))
        {
            if (entry.rfind("error| ", 0) == 0)
                EXPECT_EQ(entry, "error| " + std::string(1, entry[7]) + " line:" + std::to_string(next[entry[7]]++));
            else
                EXPECT_TRUE(Matches("Debug|g_UnloadWordDropCtl  CreateProcess failed *", entry.c_str())) << entry;
        }
        EXPECT_EQ(next.size(), 4u);
        EXPECT_TRUE(removeFolder ? moved : next == (std::map<char, int>{{'A', 500}, {'B', 500}, {'C', 500}, {'D', 500}}));
        for (HANDLE writer : writers)
            CloseHandle(writer);
        CloseHandle(go), CloseHandle(ready);
    }
    FreshLogFolder();
}

// A version.dll planted beside a program is not the one that reads versions for it.
TEST(Faults, PlantedVersionDll)
{
    const std::wstring probe = L"C:\\Suite\\plant\\versionprobe.exe";
    machine::RemoveTree(L"C:\\Suite\\plant");
    ASSERT_TRUE(machine::Apply("C:\\Suite\\plant\\version.dll", "library standin.dll", Fixture("")));
    ASSERT_TRUE(machine::Apply("C:\\Suite\\plant\\versioned.exe", "version 1.2.3.4", Fixture("")));
    ASSERT_TRUE(CopyFileW(Fixture("versionprobe.exe").c_str(), probe.c_str(), FALSE));
    // Wine: prefer a native version.dll beside this program (what WINEDLLOVERRIDES=version=n,b would do).
    const wchar_t kDefaults[] = L"Software\\Wine\\AppDefaults\\versionprobe.exe\\DllOverrides";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kDefaults, L"version", REG_SZ, L"native,builtin", sizeof(L"native,builtin")), 0);
    ClearJournal();
    EXPECT_EQ(RunLine(L"\"" + probe + L"\" -plainload"), 0u);  // an ordinary load takes the planted copy
    EXPECT_EQ(RunLine(L"\"" + probe + L"\" C:\\Suite\\plant\\versioned.exe"), 0u);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\versionprobe.exe");
    EXPECT_EQ(JournalLines(), (Lines{"version.dll\tload", "version\t1.2.3.4"}));
}
