#include <gtest/gtest.h>

#include "harness/support.h"

#include <tlhelp32.h>
#include <psapi.h>

#include <algorithm>

#include "support/process.h"

using namespace harness;

namespace
{
// Image name of a process in a fresh snapshot; empty when it is gone.
std::wstring SnapshotName(DWORD id)
{
    std::wstring name;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    {
        if (entry.th32ProcessID == id)
            name = entry.szExeFile;
    }
    CloseHandle(snapshot);
    return name;
}

// Ids of a fresh snapshot, in its order.
std::vector<DWORD> SnapshotIds()
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        ids.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return ids;
}

// Index of `id` in the system's process id list, as TerminateSettingsProcess walks it.
size_t EnumerationIndex(DWORD id)
{
    DWORD ids[1024];
    DWORD bytes = 0;
    K32EnumProcesses(ids, sizeof(ids), &bytes);
    return std::find(ids, ids + bytes / sizeof(DWORD), id) - ids;
}
}  // namespace

TEST(CommandLine, QuotesThePathAndAppendsTheArgumentsAsGiven)
{
    wchar_t line[64];
    EXPECT_TRUE(BuildCommandLine(line, ARRAYSIZE(line), L"C:\\a b\\tool.exe", nullptr));
    EXPECT_STREQ(line, L"\"C:\\a b\\tool.exe\"");
    EXPECT_TRUE(BuildCommandLine(line, ARRAYSIZE(line), L"C:\\a b\\tool.exe", L" remove root\\TesmarVhid"));
    EXPECT_STREQ(line, L"\"C:\\a b\\tool.exe\" remove root\\TesmarVhid");
    EXPECT_FALSE(BuildCommandLine(line, 8, L"C:\\a b\\tool.exe", L" /SW"));
}

TEST(RunAndWait, StartsTheExactCommandLineAndReturnsTheExitCode)
{
    const std::wstring recorder = FixturePath(L"recorder.exe");
    struct Case
    {
        const wchar_t* arguments;
        const wchar_t* exitCode;
        const wchar_t* expectedTail;
    };
    const Case cases[] = {{nullptr, L"0", L""}, {L" /SW", L"5", L" /SW"}, {L"x  \"y\"", L"3010", L"x  \"y\""}};
    for (const Case& c : cases)
    {
        Journal journal;
        ScopedEnv exit(L"INSTELIX_STANDIN_EXIT", c.exitCode);
        DWORD exitCode = 12345;
        EXPECT_TRUE(RunAndWait(recorder.c_str(), c.arguments, &exitCode));
        EXPECT_EQ(exitCode, static_cast<DWORD>(_wtoi(c.exitCode)));
        EXPECT_EQ(journal.Lines(),
                  std::vector<std::wstring>{L"recorder.exe\t\"" + recorder + L"\"" + c.expectedTail});
    }
}

// Run in the probe: the failed start logs, and the log's gate belongs to the process that calls.
TEST(RunAndWait, MissingProgramFailsWithOneDebugEntryAndLeavesTheExitCode)
{
    LogFolder folder;
    Journal journal;
    ASSERT_EQ(RunProbe(L"\"run:" + BuildDir() + L"no such tool.exe| /SW\"").exitCode, 0u);
    EXPECT_EQ(journal.Lines(), std::vector<std::wstring>{L"run\t0 12345"});
    const std::vector<LogLine> lines = ReadLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].kind, L"Debug ");
    // Wine: reports 2 where Windows would also give 2 for a missing file in an existing folder.
    EXPECT_EQ(lines[0].message, L"g_UnloadWordDropCtl  CreateProcess failed 2");
}

TEST(FindExplorerProcess, FindsTheShellByItsExactNameOnly)
{
    // The stand-in desktop shell may or may not be running; a copy under another case must never count.
    TempFolder temp(L"instelix-shell");
    Child other = StartLingering(temp / L"Explorer.EXE");
    DWORD expected = 0;
    for (DWORD id : SnapshotIds())
        expected = expected == 0 && SnapshotName(id) == L"explorer.exe" ? id : expected;
    EXPECT_EQ(FindExplorerProcess(), expected);
    EXPECT_NE(FindExplorerProcess(), other.Id());
}

void EndsTheFirstSettingsProcessInAnyCase()
{
    struct Case
    {
        const char* name;
        std::vector<const wchar_t*> images;
        bool result;
    };
    const Case cases[] = {
        {"one", {L"Settings.exe"}, true},
        {"upper case", {L"SETTINGS.EXE"}, true},
        {"two matches", {L"Settings.exe", L"SETTINGS.EXE"}, true},
        {"other name", {L"Settings.exe.exe", L"MySettings.exe"}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempFolder temp(L"instelix-settings");
        std::vector<Child> running;
        for (size_t i = 0; i < c.images.size(); ++i)
            running.push_back(StartLingering(temp / (std::to_wstring(i) + L"\\" + c.images[i])));
        size_t first = 0;
        for (size_t i = 1; i < running.size(); ++i)
            first = EnumerationIndex(running[i].Id()) < EnumerationIndex(running[first].Id()) ? i : first;

        EXPECT_EQ(TerminateSettingsProcess(), c.result);
        for (size_t i = 0; i < running.size(); ++i)
        {
            DWORD exitCode = 1;
            const bool ended = running[i].Wait(c.result && i == first ? 5000 : 0, &exitCode);
            EXPECT_EQ(ended, c.result && i == first) << "process " << i;
            if (ended)
            {
                EXPECT_EQ(exitCode, 0u);
            }
        }
    }
}

const bool kSettingsRegistered = (RegisterNeedingModuleLists("TerminateSettingsProcess",
                                                                "EndsTheFirstSettingsProcessInAnyCase",
                                                                EndsTheFirstSettingsProcessInAnyCase),
                                   true);

TEST(TerminateHotspotSvrProcess, EndsOneMatchOrGivesUpAfterThreePasses)
{
    struct Case
    {
        const char* name;
        std::vector<const wchar_t*> images;
        bool result;
    };
    const Case cases[] = {
        {"exact", {L"TesmarWiFiHotspotSvr.exe"}, true},
        {"two, other case", {L"TESMARWIFIHOTSPOTSVR.EXE", L"tesmarwifihotspotsvr.exe"}, true},
        {"none", {L"TesmarWiFiHotspotSvr2.exe"}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempFolder temp(L"instelix-hotspot");
        std::vector<Child> running;
        for (size_t i = 0; i < c.images.size(); ++i)
            running.push_back(StartLingering(temp / (std::to_wstring(i) + L"\\" + c.images[i])));

        const DWORD start = GetTickCount();
        EXPECT_EQ(TerminateHotspotSvrProcess(), c.result);
        const DWORD elapsed = GetTickCount() - start;
        if (!c.result)
        {
            EXPECT_GE(elapsed, 600u) << "three passes, 220 ms after each";
        }
        int ended = 0;
        for (Child& child : running)
        {
            DWORD exitCode = 1;
            if (child.Wait(c.result ? 1000 : 0, &exitCode))
            {
                ++ended;
                EXPECT_EQ(exitCode, 0u);
            }
        }
        EXPECT_EQ(ended, c.result ? 1 : 0);
    }
}
