#include <gtest/gtest.h>

#include "harness/support.h"

#include <psapi.h>

#include <algorithm>

#include "support/process.h"

using namespace harness;

// The quoting and the arguments appended as given are checked through RunAndWait below; here the exact fit.
TEST(CommandLine, RefusesALineThatDoesNotFit)
{
    wchar_t line[64];
    EXPECT_TRUE(BuildCommandLine(line, 22, L"C:\\a b\\tool.exe", L" /SW"));
    EXPECT_STREQ(line, L"\"C:\\a b\\tool.exe\" /SW");
    EXPECT_FALSE(BuildCommandLine(line, 21, L"C:\\a b\\tool.exe", L" /SW"));
}

TEST(RunAndWait, StartsTheExactCommandLineAndReturnsTheExitCode)
{
    const std::wstring recorder = FixturePath(L"recorder.exe");
    const struct
    {
        const wchar_t* arguments;
        const wchar_t* exitCode;
        const wchar_t* expectedTail;
    } cases[] = {{nullptr, L"0", L""}, {L" /SW", L"5", L" /SW"}, {L"x  \"y\"", L"3010", L"x  \"y\""}};
    for (const auto& c : cases)
    {
        Journal journal;
        ScopedEnv exit(L"INSTELIX_STANDIN_EXIT", c.exitCode);
        DWORD exitCode = 12345;
        EXPECT_TRUE(RunAndWait(recorder.c_str(), c.arguments, &exitCode));
        EXPECT_EQ(exitCode, static_cast<DWORD>(_wtoi(c.exitCode)));
        EXPECT_EQ(journal.Lines(), std::vector<std::wstring>{L"recorder.exe\t\"" + recorder + L"\"" + c.expectedTail});
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
    EXPECT_EQ(lines[0].message, L"g_UnloadWordDropCtl  CreateProcess failed 2");
}

TEST(FindExplorerProcess, FindsTheShellByItsExactNameOnly)
{
    // The stand-in desktop shell may or may not be running; a copy under another case must never count.
    TempFolder temp(L"instelix-shell");
    Child other = StartLingering(temp / L"Explorer.EXE");
    EXPECT_EQ(FindExplorerProcess(), FirstProcessNamed(L"explorer.exe"));
    EXPECT_NE(FindExplorerProcess(), other.Id());
}

namespace
{
// Index of `id` in the system's process id list, as TerminateSettingsProcess walks it.
size_t EnumerationIndex(DWORD id)
{
    DWORD ids[1024];
    DWORD bytes = 0;
    K32EnumProcesses(ids, sizeof(ids), &bytes);
    return std::find(ids, ids + bytes / sizeof(DWORD), id) - ids;
}

void EndsTheFirstSettingsProcessInAnyCase()
{
    const struct
    {
        const char* name;
        std::vector<std::wstring> images;
        bool result;
    } cases[] = {
        {"one", {L"Settings.exe"}, true},
        {"upper case", {L"SETTINGS.EXE"}, true},
        {"two matches", {L"Settings.exe", L"SETTINGS.EXE"}, true},
        {"other name", {L"Settings.exe.exe", L"MySettings.exe"}, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempFolder temp(L"instelix-settings");
        std::vector<Child> running = StartLingering(temp, c.images);
        size_t first = 0;
        for (size_t i = 1; i < running.size(); ++i)
            first = EnumerationIndex(running[i].Id()) < EnumerationIndex(running[first].Id()) ? i : first;

        EXPECT_EQ(TerminateSettingsProcess(), c.result);
        for (size_t i = 0; i < running.size(); ++i)
        {
            const bool endsNow = c.result && i == first;
            DWORD exitCode = 1;
            EXPECT_EQ(running[i].Wait(endsNow ? 5000 : 0, &exitCode), endsNow) << "process " << i;
            EXPECT_EQ(exitCode, endsNow ? 0u : 1u) << "process " << i;
        }
    }
}

const bool kSettingsRegistered = (RegisterNeedingModuleLists("TerminateSettingsProcess",
                                                             "EndsTheFirstSettingsProcessInAnyCase",
                                                             EndsTheFirstSettingsProcessInAnyCase),
                                  true);
}  // namespace

TEST(TerminateHotspotSvrProcess, EndsOneMatchOrGivesUpAfterThreePasses)
{
    const struct
    {
        const char* name;
        std::vector<std::wstring> images;
        bool result;
    } cases[] = {
        {"exact", {L"TesmarWiFiHotspotSvr.exe"}, true},
        {"two, other case", {L"TESMARWIFIHOTSPOTSVR.EXE", L"tesmarwifihotspotsvr.exe"}, true},
        {"none", {L"TesmarWiFiHotspotSvr2.exe"}, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempFolder temp(L"instelix-hotspot");
        std::vector<Child> running = StartLingering(temp, c.images);
        const DWORD start = GetTickCount();
        EXPECT_EQ(TerminateHotspotSvrProcess(), c.result);
        if (!c.result)
        {
            EXPECT_GE(GetTickCount() - start, 600u) << "three passes, 220 ms after each";
        }
        int ended = 0;
        for (Child& child : running)
        {
            DWORD exitCode = 1;
            if (child.Wait(c.result ? 1000 : 0, &exitCode))
                ended += exitCode == 0 ? 1 : 100;
        }
        EXPECT_EQ(ended, c.result ? 1 : 0) << "one ended, with exit code 0";
    }
}
