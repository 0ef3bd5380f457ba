#include <gtest/gtest.h>

#include <algorithm>

#include "features/rotation.h"
#include "harness/support.h"

using namespace harness;

namespace
{
const wchar_t kAutoRotationKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation";
const wchar_t kSettingsKey[] = L"Software\\Tesmar\\Tesmar Settings";

using Events = std::vector<std::wstring>;
const Events kHotkey = {L"91 16", L"79 16", L"79 144", L"91 144"};  // Win+O down, then up; flags 16 injected, 128 up

// Records the keyboard events injected in the stand-in machine through a low-level hook in another program.
class KeyRecorder
{
public:
    // The events, one "<virtual key> <flags>" each, once `count` of them arrived (at most 5 s); when none are
    // expected, those of the next 500 ms.
    Events After(size_t count) const
    {
        for (DWORD waited = 0; Now().size() < std::max<size_t>(count, 1) && waited < (count == 0 ? 500 : 5000);
             waited += 50)
            Sleep(50);
        return Now();
    }

    Events Now() const { return journal_.Lines(); }

private:
    Journal journal_;
    TempFolder folder_{L"instelix-keys"};
    Child recorder_ = StartLingering(folder_ / L"keyrecorder.exe", L"keyrecorder.exe");
};

class Rotation : public ::testing::Test
{
protected:
    Child Watch(const wchar_t* argument) { return Child(InstelixPath(), L"\"" + InstelixPath() + L"\" " + argument); }

    Tidy tidy_{[] {
        DeleteKeyEverywhere(kAutoRotationKey);
        DeleteKeyEverywhere(L"SOFTWARE\\Tesmar");
    }};
};

TEST_F(Rotation, SetChoresPressTheHotkeyOnlyWhenTheSystemDiffers)
{
    const struct
    {
        const wchar_t* argument;
        View view;
        long long enable;  // -1: no AutoRotation key
        Events events;
    } cases[] = {
        {L"/setrotationclose", View::Bits64, 1, kHotkey},
        {L"-SETROTATIONCLOSE", View::Bits64, 0, {}},
        {L"/SETROTATIONOPEN", View::Bits64, 0, kHotkey},
        {L"-setrotationopen", View::Bits64, 1, {}},
        {L"/setrotationopen", View::Bits64, -1, {}},
        {L"/setrotationclose", View::Bits64, -1, {}},
        // The system's setting is read from the 64-bit view only; a value only in the 32-bit view is unreadable.
        {L"/setrotationclose", View::Bits32, 1, IsWin64Machine() ? Events() : kHotkey},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.argument << " " << c.enable);
        DeleteKeyEverywhere(kAutoRotationKey);
        if (c.enable >= 0)
            SetDword(c.view, kAutoRotationKey, L"Enable", static_cast<DWORD>(c.enable));
        KeyRecorder keys;
        EXPECT_EQ(RunInstelix(c.argument).exitCode, 1u);
        EXPECT_EQ(keys.After(c.events.size()), c.events);
        EXPECT_FALSE(KeyExists(View::Bits64, kSettingsKey)) << "these chores never write AutoRatation";
    }
}

// GetKeyState reports the calling thread's own keyboard state, which another program cannot change, so the
// modifier branch is tested in process with the thread's state set directly.
TEST_F(Rotation, HeldModifierRefusesAndSendsNothing)
{
    SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    for (BYTE modifier : {VK_CONTROL, VK_SHIFT, VK_MENU})
    {
        KeyRecorder keys;
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
        EXPECT_EQ(keys.After(0), Events()) << "no hotkey while a modifier is held";
    }
}

TEST_F(Rotation, WatchCannotStartWithoutTheSettingsKey)
{
    const RunResult run = RunInstelix(L"/rotationreg", 10000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(KeyExists(View::Bits64, kSettingsKey)) << "nothing to seed from, nothing written";
    EXPECT_FALSE(KeyExists(View::Bits32, kSettingsKey));
}

TEST_F(Rotation, WatchSeedsTheWantedStateFromTheSystem)
{
    SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    Child watcher = Watch(L"/rotationreg");
    long long seeded = -1;
    for (int i = 0; i < 100 && seeded < 0; ++i, Sleep(50))
        seeded = GetDword(View::Bits64, kSettingsKey, L"AutoRatation");
    EXPECT_EQ(seeded, 1);
    EXPECT_TRUE(watcher.Running());
}

TEST_F(Rotation, WatchAppliesTheWantedStateOnEveryChangeUntilEnded)
{
    SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    SetDword(View::Bits64, kSettingsKey, L"AutoRatation", 0);
    KeyRecorder keys;
    Child watcher = Watch(L"-ROTATIONREG");
    // Starting the watch applies nothing, although the wanted state differs.
    EXPECT_EQ(keys.After(0), Events());
    // Any value under the key wakes the watch, not only AutoRatation.
    SetDword(View::Bits64, kSettingsKey, L"Unrelated", 5);
    EXPECT_EQ(keys.After(4), kHotkey);
    EXPECT_TRUE(watcher.Running());

    // The system now agrees with the wanted state: a change presses nothing.
    SetDword(View::Bits64, kAutoRotationKey, L"Enable", 0);
    SetDword(View::Bits64, kSettingsKey, L"Unrelated", 6);
    Sleep(500);
    EXPECT_EQ(keys.Now(), kHotkey);

    // A value that is neither 0 nor 1 never equals the system's: every change presses again.
    SetDword(View::Bits64, kSettingsKey, L"AutoRatation", 2);
    Events twice = kHotkey;
    twice.insert(twice.end(), kHotkey.begin(), kHotkey.end());
    EXPECT_EQ(keys.After(8), twice);
    EXPECT_TRUE(watcher.Running());
}

TEST_F(Rotation, WatchEndsWithOneWhenItCannotBeRearmed)
{
    SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    SetDword(View::Bits64, kSettingsKey, L"AutoRatation", 1);
    Child watcher = Watch(L"/rotationreg");
    Sleep(500);
    ASSERT_TRUE(watcher.Running());
    // Windows refuses to re-arm a watch on a deleted key (ERROR_KEY_DELETED).
    DeleteKeyEverywhere(L"SOFTWARE\\Tesmar");
    DWORD exitCode = 0xFFFF;
    if (!watcher.Wait(2000, &exitCode))
        GTEST_SKIP() << "this machine keeps watching a deleted key";  // Wine: no notification on deletion
    EXPECT_EQ(exitCode, 1u);
}
}  // namespace
