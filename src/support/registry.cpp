#include "support/registry.h"

#include <shlwapi.h>

#include "support/unique.h"

namespace
{
const wchar_t kAutoRotationKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation";
constexpr REGSAM kRead64 = KEY_READ | KEY_WOW64_64KEY;

// RegQueryValueExW leaves a too-small buffer undefined, so the value is read into a local first.
bool QueryDword(HKEY key, const wchar_t* valueName, DWORD* value)
{
    DWORD data = 0;
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS)
        return false;
    *value = data;
    return true;
}

bool ReadDwordIn(const wchar_t* subKey, const wchar_t* valueName, DWORD* value)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, kRead64, key.put()) != ERROR_SUCCESS || !key)
        return false;
    return QueryDword(key.get(), valueName, value);
}
}  // namespace

bool ReadAutoRotationEnable(DWORD* value)
{
    return ReadDwordIn(kAutoRotationKey, L"Enable", value);
}

bool ReadRegDword(DWORD* value, const wchar_t* subKey, const wchar_t* valueName)
{
    return ReadDwordIn(subKey, valueName, value);
}

bool WriteRegDword(DWORD value, const wchar_t* subKey, const wchar_t* valueName)
{
    UniqueRegKey key;
    // Only the right to set values is asked for: a key whose rules let us write but not delete or re-secure it
    // must still take the value.
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    if (RegSetValueExW(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) !=
        ERROR_SUCCESS)
        return false;
    RegFlushKey(key.get());
    return true;
}

bool RegKeyExists(const wchar_t* subKey)
{
    UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool ReadRegString(const wchar_t* subKey, const wchar_t* valueName, wchar_t* text)
{
    // The registry gets one unit more than the 260 kept, and one spare unit past that keeps even an unterminated
    // value terminated. Too long a text then always shows as 260 characters or more, even where an expanded
    // REG_EXPAND_SZ is cut to the buffer without an error (Wine's SHGetValueW does that).
    wchar_t buffer[kPathChars + 2] = {};
    DWORD size = (kPathChars + 1) * sizeof(wchar_t);
    DWORD type = 0;
    text[0] = 0;
    if (SHGetValueW(HKEY_LOCAL_MACHINE, subKey, valueName, &type, buffer, &size) != ERROR_SUCCESS)
        return false;
    if (lstrlenW(buffer) >= static_cast<int>(kPathChars))
        return false;
    CopyText(text, kPathChars, buffer);
    return true;
}
