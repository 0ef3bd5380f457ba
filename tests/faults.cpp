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
    const bool set = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, 1, &descriptor, nullptr) &&
                     !RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr) &&
                     !RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    return RegCloseKey(key), LocalFree(descriptor), set;
}

DWORD Probe(const std::wstring& steps)
{
    return RunLine(L"\"" + Fixture("supportprobe.exe") + L"\" " + steps);
}

void LogFolder(const char* as = "folder")
{
    machine::RemoveTree(L"D:\\DeviceControl.gone");
    ASSERT_TRUE(machine::Apply("D:\\DeviceControl", as, L""));
}
}  // namespace

// A read gives the value whole (a DWORD of up to four bytes zero-extended, a text terminated) or fails and leaves
// the caller's variable alone; a text that fits until expanded fails rather than arrive cut.
TEST(Faults, OddRegistryValues)
{
    wchar_t folder[MAX_PATH];
    const std::string expands = "REG_EXPAND_SZ %CommonProgramFiles%\\",
                      expanded(folder, folder + ExpandEnvironmentStringsW(L"%CommonProgramFiles%\\", folder, 260) - 1),
                      tail(kPathChars - 1 - expanded.size(), 'a'), b259(259, 'b');
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
        {"REG_SZ " + b259, false, 0, true, b259},
        {"REG_SZ " + b259 + "b", false, 0, false, ""},
        {expands + tail, false, 0, true, expanded + tail},
        {expands + tail + "a", false, 0, false, ""},
    };
    for (const auto& c : cases)
    {
        ASSERT_TRUE(machine::Apply(kValue, c.stored, L""));
        DWORD value = 0xCAFEF00D;
        wchar_t text[kPathChars];
        wmemset(text, L'x', kPathChars);
        EXPECT_EQ(ReadRegDword(&value, kKey, L"Value"), c.dwordRead) << c.stored.substr(0, 40);
        EXPECT_EQ(value, c.dwordRead ? c.dword : 0xCAFEF00D) << c.stored.substr(0, 40);
        EXPECT_EQ(ReadRegString(kKey, L"Value", text), c.textRead) << c.stored.substr(0, 40);
        EXPECT_EQ(machine::Narrow(text), c.text) << c.stored.substr(0, 40);
    }
}

// Setting a value needs neither the right to delete the key nor to change its rules.
TEST(Faults, KeysWithoutAccess)
{
    for (const auto& c :
         {std::make_tuple(L"D:", false, false), std::make_tuple(L"D:(D;;KR;;;WD)(A;;KA;;;WD)", false, true),
          std::make_tuple(L"D:(A;;KR;;;WD)", true, false), std::make_tuple(L"D:(A;;0x2001f;;;WD)", true, true)})
    {
        ASSERT_TRUE(machine::Apply(kValue, "REG_DWORD 7", L"") && SetAccess(std::get<0>(c)));
        DWORD value = 42;
        wchar_t text[kPathChars];
        EXPECT_EQ(RegKeyExists(kKey) && ReadRegDword(&value, kKey, L"Value") && value == 7, std::get<1>(c));
        EXPECT_EQ(ReadRegString(kKey, L"Value", text), std::get<1>(c));
        EXPECT_EQ(WriteRegDword(9, kKey, L"Value"), std::get<2>(c)) << machine::Narrow(std::get<0>(c));
        ASSERT_TRUE(SetAccess(L"D:(A;;KA;;;WD)") && ReadRegDword(&value, kKey, L"Value"));
        EXPECT_EQ(value, std::get<2>(c) ? 9u : 7u);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey), RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
}

// Logging is on while the folder exists, and the first entry that misses it turns logging off for the run; a
// message is cut to 511 units. A reader holding the log, even with a lock over all of it, never stalls the program.
TEST(Faults, LogGateAndHeldLog)
{
    const struct
    {
        const char* folder;
        const wchar_t* steps;
        Lines lines, moved;
        DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
        bool lock = false;
    } cases[] = {
        {"absent", L"error:a folder error:b", {}, {}},
        {"text: a file", L"error:a", {}, {}},
        {"folder", L"error:a nofolder error:b folder error:c", {}, {"error| a"}},
        {"folder",
         L"debug:Größe long:511 long:2000",
         {"Debug| Größe", "error|" + std::string(511, 'x'), "error|" + std::string(511, 'x')},
         {}},
        {"folder", L"error:a", {}, {}, FILE_SHARE_READ},
        {"folder", L"error:a", {"error| a"}, {}, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
    };
    for (const auto& c : cases)
    {
        LogFolder(c.folder);
        machine::WriteBytes(kLogFile, "");
        HANDLE reader = CreateFileW(kLogFile.c_str(), GENERIC_READ, c.sharing, nullptr, OPEN_EXISTING, 0, nullptr);
        OVERLAPPED all = {};
        ASSERT_TRUE(!c.lock || LockFileEx(reader, 0, 0, MAXDWORD, MAXDWORD, &all));
        EXPECT_EQ(Probe(c.steps), 0u) << "the program waits for the log";
        CloseHandle(reader);
        // Windows refuses writes into a locked range, Wine does not: the line is there or not, never stalled.
        const Lines lines = LogEntries();
        EXPECT_TRUE(lines == c.lines || (c.lock && lines.empty())) << machine::Narrow(c.steps);
        EXPECT_EQ(LogEntries(L"D:\\DeviceControl.gone\\em9.Log"), c.moved) << machine::Narrow(c.steps);
    }
}

// Four writers and the program race for the log while a viewer follows it: every line arrives once, in its
// writer's order, and what was written never changes. Then the folder is taken away in the middle of a burst.
TEST(Faults, RacingWriters)
{
    for (const bool removeFolder : {false, true})
    {
        LogFolder();
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, L"InstelixGo"),
               ready = CreateSemaphoreW(nullptr, 0, 9, L"InstelixGo-ready");
        std::vector<HANDLE> writers;
        for (const wchar_t* name : {L"A", L"B", L"C", L"D"})
        {
            writers.push_back(
                Start(L"\"" + Fixture("supportprobe.exe") + L"\" wait:InstelixGo burst:" + name + L":150"));
            ASSERT_NE(writers.back(), nullptr);
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
            moved = moved || (removeFolder && bytes.size() > 8000 &&
                              MoveFileExW(L"D:\\DeviceControl", L"D:\\DeviceControl.gone", 0));
            EXPECT_EQ(removeFolder ? 0 : RunLine(L"\"" + Program() + L"\" /POP"), 0u);
        }
        std::map<char, int> next;
        for (const std::string& entry : LogEntries(removeFolder ? L"D:\\DeviceControl.gone\\em9.Log" : kLogFile, false))
        {
            if (entry.rfind("error| ", 0) == 0)
                EXPECT_EQ(entry, "error| " + std::string(1, entry[7]) + " line:" + std::to_string(next[entry[7]]++));
            else
                EXPECT_TRUE(Matches("Debug|g_UnloadWordDropCtl  CreateProcess failed *", entry.c_str())) << entry;
        }
        EXPECT_TRUE(removeFolder ? moved && next.size() == 4
                                 : next == (std::map<char, int>{{'A', 150}, {'B', 150}, {'C', 150}, {'D', 150}}));
        std::for_each(writers.begin(), writers.end(), CloseHandle);
        CloseHandle(go), CloseHandle(ready);
    }
}

// A version.dll planted beside a program is not the one that reads versions for it.
TEST(Faults, PlantedVersionDll)
{
    const std::wstring probe = L"C:\\Suite\\plant\\versionprobe.exe";
    machine::RemoveTree(L"C:\\Suite\\plant");
    ASSERT_TRUE(machine::Apply("C:\\Suite\\plant\\version.dll", "library standin.dll", Fixture("")) &&
                machine::Apply("C:\\Suite\\plant\\versioned.exe", "version 1.2.3.4", Fixture("")) &&
                CopyFileW(Fixture("versionprobe.exe").c_str(), probe.c_str(), FALSE));
    // Wine: prefer a native version.dll beside this program (what WINEDLLOVERRIDES=version=n,b would do).
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\versionprobe.exe\\DllOverrides",
                              L"version", REG_SZ, L"native,builtin", sizeof(L"native,builtin")),
              0);
    ClearJournal();
    EXPECT_EQ(RunLine(L"\"" + probe + L"\" -plainload"), 0u);  // an ordinary load takes the planted copy
    EXPECT_EQ(RunLine(L"\"" + probe + L"\" C:\\Suite\\plant\\versioned.exe"), 0u);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\versionprobe.exe");
    EXPECT_EQ(JournalLines(), (Lines{"version.dll\tload", "version\t1.2.3.4"}));
}
