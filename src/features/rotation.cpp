#include "features/rotation.h"

#include <sddl.h>

#include "support/registry.h"
#include "support/unique.h"

namespace
{
const wchar_t kSettingsKey[] = L"Software\\Tesmar\\Tesmar Settings";
const wchar_t kSettingsKeyWatched[] = L"SOFTWARE\\Tesmar\\Tesmar Settings";
const wchar_t kAutoRotationKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation";
// The settings application spells the value this way; it must not be corrected.
const wchar_t kWantedValue[] = L"AutoRatation";
// One per session: watchers and rotation switches of any user there take their turns on it.
const wchar_t kDecisionMutex[] = L"Local\\Instelix rotation decision";
// Lets a process of any elevation wait on the turn, whichever created it.
const wchar_t kDecisionAccess[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;WD)";
constexpr DWORD kTurnMs = 10000;
constexpr DWORD kShellMs = 2000;

INPUT KeyEvent(WORD virtualKey, DWORD flags)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.dwFlags = flags;
    return input;
}

bool KeyDown(int virtualKey)
{
    return GetKeyState(virtualKey) < 0;
}

// The turn of one rotation decision among the session's Instelix processes: read "Enable", press, and wait for the
// shell to act on the press. The hotkey only queues keys and the shell changes "Enable" later, so a second decision
// taken in between would read the old value and press again, undoing the first. A turn that cannot be had within
// kTurnMs (a holder that hangs, a name taken by something else) is taken without the mutex.
class DecisionTurn
{
public:
    DecisionTurn()
    {
        UniqueLocal descriptor;
        SECURITY_ATTRIBUTES attributes = {};
        attributes.nLength = sizeof(attributes);
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kDecisionAccess, SDDL_REVISION_1, descriptor.put(),
                                                                 nullptr))
            attributes.lpSecurityDescriptor = descriptor.get();
        mutex_.reset(CreateMutexExW(&attributes, kDecisionMutex, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE));
        if (!mutex_)
            return;
        // An abandoned turn is owned all the same: its holder ended mid-decision.
        const DWORD wait = WaitForSingleObject(mutex_.get(), kTurnMs);
        owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    DecisionTurn(const DecisionTurn&) = delete;
    DecisionTurn& operator=(const DecisionTurn&) = delete;
    ~DecisionTurn()
    {
        if (owned_)
            ReleaseMutex(mutex_.get());
    }

private:
    UniqueHandle mutex_;
    bool owned_ = false;
};

// Waits until "Enable" no longer holds `before`, at most kShellMs: a shell that never acts on the hotkey costs that
// much once per press.
void AwaitShell(DWORD before)
{
    UniqueRegKey key;
    const REGSAM access = KEY_NOTIFY | KEY_QUERY_VALUE | KEY_WOW64_64KEY;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAutoRotationKey, 0, access, key.put()) != ERROR_SUCCESS)
        return;
    UniqueHandle changed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const ULONGLONG deadline = GetTickCount64() + kShellMs;
    for (;;)
    {
        // Armed before the read, so that a change right after it still ends the wait.
        if (RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed.get(), TRUE) != ERROR_SUCCESS)
            return;
        DWORD now = before;
        ReadAutoRotationEnable(&now);
        const ULONGLONG at = GetTickCount64();
        if (now != before || at >= deadline)
            return;
        if (WaitForSingleObject(changed.get(), static_cast<DWORD>(deadline - at)) != WAIT_OBJECT_0)
            return;
    }
}

bool ArmWatch(HKEY key, HANDLE changed)
{
    return RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE) == ERROR_SUCCESS;
}

// Seeds the wanted state from the system's setting when the settings application has not stored one. When
// neither can be read nothing is written: there is no state worth recording.
void ReadOrSeedWantedState(DWORD* wanted)
{
    if (ReadRegDword(wanted, kSettingsKey, kWantedValue))
        return;
    if (ReadRegDword(wanted, kAutoRotationKey, L"Enable"))
        WriteRegDword(*wanted, kSettingsKey, kWantedValue);
}
}  // namespace

bool SendRotationHotkey()
{
    INPUT inputs[] = {
        KeyEvent(VK_LWIN, 0),
        KeyEvent('O', 0),
        KeyEvent('O', KEYEVENTF_KEYUP),
        KeyEvent(VK_LWIN, KEYEVENTF_KEYUP),
    };
    const UINT inserted = SendInput(ARRAYSIZE(inputs), inputs, sizeof(INPUT));
    Sleep(0);
    return inserted == ARRAYSIZE(inputs);
}

bool SetAutoRotation(DWORD target)
{
    const DecisionTurn turn;
    DWORD current = 0;
    if (!ReadAutoRotationEnable(&current))
        return false;
    if (current == target)
        return true;
    if (!SendRotationHotkey())
        return false;
    AwaitShell(current);
    return true;
}

bool ModifierKeyHeld()
{
    return KeyDown(VK_CONTROL) || KeyDown(VK_SHIFT) || KeyDown(VK_MENU);
}

UINT RunSetRotationChore(DWORD target)
{
    if (ModifierKeyHeld())
        return 0;
    SetAutoRotation(target);
    return 1;
}

UINT RunRotationWatchChore()
{
    DWORD wanted = 0;
    ReadOrSeedWantedState(&wanted);
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyWatched, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return 0;
    UniqueHandle changed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!ArmWatch(key.get(), changed.get()))
        return 1;
    for (;;)
    {
        if (WaitForSingleObject(changed.get(), INFINITE) != WAIT_OBJECT_0)
            continue;
        // Armed again before applying, so that a change made while a press waits for the shell wakes the watch once
        // more; a change is applied even when the watch then stops.
        const bool armed = ArmWatch(key.get(), changed.get());
        ReadRegDword(&wanted, kSettingsKey, kWantedValue);
        SetAutoRotation(wanted);
        if (!armed)
            return 1;
    }
}
