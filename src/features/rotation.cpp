#include "features/rotation.h"

#include "support/registry.h"
#include "support/unique.h"

namespace
{
const wchar_t kSettingsKey[] = L"Software\\Tesmar\\Tesmar Settings";
const wchar_t kSettingsKeyWatched[] = L"SOFTWARE\\Tesmar\\Tesmar Settings";
const wchar_t kAutoRotationKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation";
// The settings application spells the value this way; it must not be corrected.
const wchar_t kWantedValue[] = L"AutoRatation";

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
    DWORD current = 0;
    if (!ReadAutoRotationEnable(&current))
        return false;
    if (current == target)
        return true;
    return SendRotationHotkey();
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
    while (RegNotifyChangeKeyValue(key.get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, changed.get(), TRUE) == ERROR_SUCCESS)
    {
        if (WaitForSingleObject(changed.get(), INFINITE) != WAIT_OBJECT_0)
            continue;
        ReadRegDword(&wanted, kSettingsKey, kWantedValue);
        SetAutoRotation(wanted);
    }
    return 1;
}
