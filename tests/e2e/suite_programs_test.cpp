#include <gtest/gtest.h>

#include "harness/support.h"

using namespace harness;

namespace
{
std::wstring SuiteFolder()
{
    return IsWin64Machine() ? L"C:\\Program Files (x86)\\Tesmar\\Tesmar Settings"
                            : L"C:\\Program Files\\Tesmar\\Tesmar Settings";
}

std::wstring ToastPath()
{
    return SuiteFolder() + L"\\PopToastProcess.exe";
}

// Places the recorder as the toast program (and, if asked, as the hotspot service); removes what it placed.
class SuiteInstalled
{
public:
    explicit SuiteInstalled(bool service = false)
    {
        MakeDirs(SuiteFolder());
        CopyFileW(FixturePath(L"recorder.exe").c_str(), ToastPath().c_str(), FALSE);
        if (service)
            CopyFileW(FixturePath(L"recorder.exe").c_str(), ServicePath().c_str(), FALSE);
    }
    ~SuiteInstalled()
    {
        RemoveFile(ToastPath());
        RemoveFile(ServicePath());
        RemoveDirectoryW(SuiteFolder().c_str());
        RemoveDirectoryW(SuiteFolder().substr(0, SuiteFolder().find_last_of(L'\\')).c_str());
    }
    static std::wstring ServicePath() { return SuiteFolder() + L"\\TesmarWiFiHotspotSvr.exe"; }
};

const std::wstring kToastLine = L"PopToastProcess.exe\t\"";
}  // namespace

TEST(Pop, RunsTheToastWithItsQuotedPathAloneAndExitsZero)
{
    SuiteInstalled suite;
    for (const wchar_t* toastExit : {L"0", L"1", L"7"})
    {
        Journal journal;
        ScopedEnv exit(L"INSTELIX_STANDIN_EXIT", toastExit);
        EXPECT_EQ(RunInstelix(L"/POP").exitCode, 0u);
        EXPECT_EQ(journal.Lines(), std::vector<std::wstring>{kToastLine + ToastPath() + L"\""});
    }
}

TEST(Pop, MissingToastExitsZeroAfterOneLoggedStartFailure)
{
    LogFolder folder;
    EXPECT_EQ(RunInstelix(L"-pop").exitCode, 0u);
    const std::vector<LogLine> lines = ReadLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].kind, L"Debug ");
    // Wine: 2 even when the folder is missing too, where Windows gives 3.
    EXPECT_TRUE(lines[0].message == L"g_UnloadWordDropCtl  CreateProcess failed 2" ||
                lines[0].message == L"g_UnloadWordDropCtl  CreateProcess failed 3")
        << std::string(lines[0].message.begin(), lines[0].message.end());
}

// The walk goes on after /closesettings, and /POP ends it: a later /INSTALLSVR never runs.
TEST(CloseSettings, WalkGoesOnToPopWhichEndsIt)
{
    for (const wchar_t* arguments : {L"/closesettings /POP", L"/closesettings /POP /INSTALLSVR"})
    {
        SCOPED_TRACE(std::string(arguments, arguments + wcslen(arguments)));
        SuiteInstalled suite(true);
        TempFolder temp(L"instelix-settings");
        Child settings = StartLingering(temp / L"Settings.exe");
        Journal journal;
        EXPECT_EQ(RunInstelix(arguments).exitCode, 0u);
        EXPECT_EQ(journal.Lines(), std::vector<std::wstring>{kToastLine + ToastPath() + L"\""});
        EXPECT_TRUE(FileExists(SuiteInstalled::ServicePath())) << "the service chore ran";
        if (CanReadModuleLists())
        {
            DWORD exitCode = 1;
            EXPECT_TRUE(settings.Wait(5000, &exitCode));
            EXPECT_EQ(exitCode, 0u);
        }
    }
}

void EndsOneSettingsProcessPerArgument()
{
    struct Case
    {
        const wchar_t* arguments;
        int running;
        int ended;
    };
    for (const Case& c : {Case{L"/closesettings", 2, 1}, Case{L"-CLOSESETTINGS /CLOSESETTINGS", 3, 2}})
    {
        SCOPED_TRACE(std::string(c.arguments, c.arguments + wcslen(c.arguments)));
        TempFolder temp(L"instelix-settings");
        std::vector<Child> settings;
        for (int i = 0; i < c.running; ++i)
            settings.push_back(StartLingering(temp / (std::to_wstring(i) + L"\\Settings.exe")));
        EXPECT_EQ(RunInstelix(c.arguments).exitCode, 0u);
        int ended = 0;
        for (Child& child : settings)
            ended += child.Wait(ended < c.ended ? 2000 : 200) ? 1 : 0;
        EXPECT_EQ(ended, c.ended);
    }
}

const bool kCloseRegistered = (RegisterNeedingModuleLists("CloseSettings", "EndsOneSettingsProcessPerArgument",
                                                          EndsOneSettingsProcessPerArgument),
                               true);
