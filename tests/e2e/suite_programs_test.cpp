#include <gtest/gtest.h>

#include "harness/modes.h"

using namespace harness;

namespace
{
std::wstring ToastPath()
{
    return InstallRoot() + L"\\Tesmar\\Tesmar Settings\\PopToastProcess.exe";
}

std::wstring ServicePath()
{
    return InstallRoot() + L"\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe";
}

const std::vector<std::wstring> kToastOnly = {L"PopToastProcess.exe\t\"" + ToastPath() + L"\""};
}  // namespace

TEST(Pop, RunsTheToastWithItsQuotedPathAloneAndExitsZero)
{
    PlacedLibrary toast(L"recorder.exe", ToastPath());
    for (const wchar_t* toastExit : {L"0", L"1", L"7"})
    {
        Journal journal;
        ScopedEnv exit(L"INSTELIX_STANDIN_EXIT", toastExit);
        EXPECT_EQ(RunInstelix(L"/POP").exitCode, 0u);
        EXPECT_EQ(journal.Lines(), kToastOnly);
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
        << lines[0].message;
}

// The walk goes on after /closesettings, and /POP ends it: a later /INSTALLSVR never runs.
TEST(CloseSettings, WalkGoesOnToPopWhichEndsIt)
{
    PlacedLibrary toast(L"recorder.exe", ToastPath()), service(L"recorder.exe", ServicePath());
    for (const wchar_t* arguments : {L"/closesettings /POP", L"/closesettings /POP /INSTALLSVR"})
    {
        SCOPED_TRACE(arguments);
        TempFolder temp(L"instelix-settings");
        Child settings = StartLingering(temp / L"Settings.exe");
        Journal journal;
        EXPECT_EQ(RunInstelix(arguments).exitCode, 0u);
        EXPECT_EQ(journal.Lines(), kToastOnly);
        EXPECT_TRUE(FileExists(ServicePath())) << "the service chore ran";
        DWORD exitCode = 1;
        EXPECT_TRUE(!CanReadModuleLists() || (settings.Wait(5000, &exitCode) && exitCode == 0));
    }
}

namespace
{
void EndsOneSettingsProcessPerArgument()
{
    const struct
    {
        const wchar_t* arguments;
        size_t running;
        int ended;
    } cases[] = {{L"/closesettings", 2, 1}, {L"-CLOSESETTINGS /CLOSESETTINGS", 3, 2}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.arguments);
        TempFolder temp(L"instelix-settings");
        std::vector<Child> settings = StartLingering(temp, std::vector<std::wstring>(c.running, L"Settings.exe"));
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
}  // namespace
