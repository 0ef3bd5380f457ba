#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "features/rotation.h"
#include "harness/harness.h"

using harness::View;

namespace
{
const wchar_t kAutoRotationKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation";
const wchar_t kSettingsKey[] = L"Software\\Tesmar\\Tesmar Settings";

const std::vector<std::string> kHotkey = {"91 16", "79 16", "79 144", "91 144"};
const std::vector<std::string> kNothing = {};

// Records the keyboard events injected in the stand-in machine through a low-level hook in another program.
class KeyRecorder
{
public:
    KeyRecorder()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        journal_ = std::wstring(temp) + L"instelix-keys.txt";
        ready_ = CreateEventW(nullptr, TRUE, FALSE, L"InstelixKeyRecorderReady");
        stop_ = CreateEventW(nullptr, TRUE, FALSE, L"InstelixKeyRecorderStop");
        ResetEvent(ready_);
        ResetEvent(stop_);
        const std::wstring program = harness::FixturePath(L"keyrecorder.exe");
        child_ = harness::Child(program, L"\"" + program + L"\" \"" + journal_ + L"\"");
        started_ = WaitForSingleObject(ready_, 20000) == WAIT_OBJECT_0;
    }

    ~KeyRecorder()
    {
        Stop();
        CloseHandle(ready_);
        CloseHandle(stop_);
        harness::RemoveFile(journal_);
    }

    bool Started() const { return started_; }

    // The events seen so far, one "<virtual key> <flags>" each.
    std::vector<std::string> Events() const
    {
        std::vector<std::string> events;
        const std::string text = harness::ReadBytes(journal_);
        size_t start = 0;
        for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start))
        {
            events.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return events;
    }

    // The events once `count` of them arrived (at most 5 s); when none are expected, those of the next 500 ms.
    std::vector<std::string> EventsAfter(size_t count) const
    {
        const DWORD timeoutMs = count == 0 ? 500 : 5000;
        for (DWORD waited = 0; Events().size() < (count == 0 ? 1 : count) && waited < timeoutMs; waited += 50)
            Sleep(50);
        return Events();
    }

    void Stop()
    {
        SetEvent(stop_);
        child_.Wait(5000);
        child_.Kill();
    }

private:
    std::wstring journal_;
    HANDLE ready_ = nullptr;
    HANDLE stop_ = nullptr;
    harness::Child child_;
    bool started_ = false;
};

class Rotation : public ::testing::Test
{
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean()
    {
        harness::DeleteKeyEverywhere(kAutoRotationKey);
        harness::DeleteKeyEverywhere(L"SOFTWARE\\Tesmar");
    }
};

struct SetCase
{
    const wchar_t* argument;
    long long enable;  // -1: no AutoRotation key
    const std::vector<std::string>& events;
};

TEST_F(Rotation, SetChoresPressTheHotkeyOnlyWhenTheSystemDiffers)
{
    const SetCase cases[] = {
        {L"/setrotationclose", 1, kHotkey},
        {L"-SETROTATIONCLOSE", 0, kNothing},
        {L"/SETROTATIONOPEN", 0, kHotkey},
        {L"-setrotationopen", 1, kNothing},
        {L"/setrotationopen", -1, kNothing},
        {L"/setrotationclose", -1, kNothing},
    };
    for (const SetCase& c : cases)
    {
        harness::DeleteKeyEverywhere(kAutoRotationKey);
        if (c.enable >= 0)
            harness::SetDword(View::Bits64, kAutoRotationKey, L"Enable", static_cast<DWORD>(c.enable));
        KeyRecorder keys;
        ASSERT_TRUE(keys.Started());
        const harness::RunResult run = harness::RunInstelix(c.argument);
        EXPECT_EQ(run.exitCode, 1u) << c.argument << " " << c.enable;
        EXPECT_EQ(keys.EventsAfter(c.events.size()), c.events) << c.argument << " " << c.enable;
        EXPECT_FALSE(harness::KeyExists(View::Bits64, kSettingsKey)) << "these chores never write AutoRatation";
    }
}

TEST_F(Rotation, SystemSettingInThe32BitViewOnlyCountsAsUnreadable)
{
    if (!harness::IsWin64Machine())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    harness::SetDword(View::Bits32, kAutoRotationKey, L"Enable", 1);
    KeyRecorder keys;
    ASSERT_TRUE(keys.Started());
    EXPECT_EQ(harness::RunInstelix(L"/setrotationclose").exitCode, 1u);
    EXPECT_EQ(keys.EventsAfter(0), kNothing);
}

TEST_F(Rotation, EndingChoreStopsTheWalk)
{
    // /rotationreg would never return; it is not reached after an ending chore.
    harness::SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    harness::SetDword(View::Bits64, kSettingsKey, L"AutoRatation", 1);
    const harness::RunResult run = harness::RunInstelix(L"/PHONECOMPANION /setrotationopen /rotationreg", 10000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 1u);
}

TEST_F(Rotation, ElementZeroIsTestedToo)
{
    // A command line that is the switch alone, with no program path in front of it.
    const harness::RunResult run = harness::Run(harness::InstelixPath(), L"/setrotationopen");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(harness::RunInstelix(L"").exitCode, 0u) << "the program path alone does nothing";
}

// GetKeyState reports the calling thread's own keyboard state, which another program cannot change, so the
// modifier branch is tested in process with the thread's state set directly.
TEST_F(Rotation, HeldModifierRefusesAndSendsNothing)
{
    harness::SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    for (BYTE modifier : {VK_CONTROL, VK_SHIFT, VK_MENU})
    {
        KeyRecorder keys;
        ASSERT_TRUE(keys.Started());
        BYTE state[256] = {};
        state[modifier] = 0x80;
        ASSERT_TRUE(SetKeyboardState(state));
        if (GetKeyState(modifier) >= 0)
            GTEST_SKIP() << "this machine ignores SetKeyboardState";
        EXPECT_TRUE(ModifierKeyHeld()) << modifier;
        EXPECT_EQ(RunSetRotationChore(0), 0u) << modifier;
        state[modifier] = 0;
        SetKeyboardState(state);
        EXPECT_FALSE(ModifierKeyHeld()) << modifier;
        EXPECT_EQ(keys.EventsAfter(0), kNothing) << "no hotkey while a modifier is held";
    }
}

TEST_F(Rotation, WatchCannotStartWithoutTheSettingsKey)
{
    const harness::RunResult run = harness::RunInstelix(L"/rotationreg", 10000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(harness::KeyExists(View::Bits64, kSettingsKey)) << "nothing to seed from, nothing written";
    EXPECT_FALSE(harness::KeyExists(View::Bits32, kSettingsKey));
}

TEST_F(Rotation, WatchSeedsTheWantedStateFromTheSystem)
{
    harness::SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    harness::Child watcher(harness::InstelixPath(), L"\"" + harness::InstelixPath() + L"\" /rotationreg");
    long long seeded = -1;
    for (int i = 0; i < 100 && seeded < 0; ++i, Sleep(50))
        seeded = harness::GetDword(View::Bits64, kSettingsKey, L"AutoRatation");
    EXPECT_EQ(seeded, 1);
    EXPECT_TRUE(watcher.Running());
}

TEST_F(Rotation, WatchAppliesTheWantedStateOnEveryChangeUntilEnded)
{
    harness::SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    harness::SetDword(View::Bits64, kSettingsKey, L"AutoRatation", 0);
    KeyRecorder keys;
    ASSERT_TRUE(keys.Started());
    harness::Child watcher(harness::InstelixPath(), L"\"" + harness::InstelixPath() + L"\" -ROTATIONREG");
    // Starting the watch applies nothing, although the wanted state differs.
    EXPECT_EQ(keys.EventsAfter(0), kNothing);
    // Any value under the key wakes the watch, not only AutoRatation.
    harness::SetDword(View::Bits64, kSettingsKey, L"Unrelated", 5);
    EXPECT_EQ(keys.EventsAfter(4), kHotkey);
    EXPECT_TRUE(watcher.Running());

    // The system now agrees with the wanted state: a change presses nothing.
    harness::SetDword(View::Bits64, kAutoRotationKey, L"Enable", 0);
    harness::SetDword(View::Bits64, kSettingsKey, L"Unrelated", 6);
    Sleep(500);
    EXPECT_EQ(keys.Events(), kHotkey);

    // A value that is neither 0 nor 1 never equals the system's: every change presses again.
    harness::SetDword(View::Bits64, kSettingsKey, L"AutoRatation", 2);
    std::vector<std::string> twice = kHotkey;
    twice.insert(twice.end(), kHotkey.begin(), kHotkey.end());
    EXPECT_EQ(keys.EventsAfter(8), twice);
    EXPECT_TRUE(watcher.Running());
}

TEST_F(Rotation, WatchEndsWithOneWhenItCannotBeRearmed)
{
    harness::SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    harness::SetDword(View::Bits64, kSettingsKey, L"AutoRatation", 1);
    harness::Child watcher(harness::InstelixPath(), L"\"" + harness::InstelixPath() + L"\" /rotationreg");
    Sleep(500);
    ASSERT_TRUE(watcher.Running());
    // Windows refuses to re-arm a watch on a deleted key (ERROR_KEY_DELETED).
    harness::DeleteKeyEverywhere(L"SOFTWARE\\Tesmar");
    DWORD exitCode = 0xFFFF;
    if (!watcher.Wait(2000, &exitCode))
        GTEST_SKIP() << "this machine keeps watching a deleted key";  // Wine: no notification on deletion
    EXPECT_EQ(exitCode, 1u);
}
}  // namespace
