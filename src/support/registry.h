#pragma once
// Registry access under HKEY_LOCAL_MACHINE. No key stays open after a call returns.
// The DWORD routines use the 64-bit view (KEY_WOW64_64KEY); RegKeyExists and ReadRegString use the default view
// of this 32-bit process, in which "SOFTWARE" is redirected to the 32-bit view on 64-bit Windows.

#include <windows.h>

#include "support/text.h"

// Reads "Enable" under the system's AutoRotation key (64-bit view). On failure `value` is left untouched.
bool ReadAutoRotationEnable(DWORD* value);

// Stores `value` as REG_DWORD, creating `subKey` and its parents when missing (64-bit view).
bool WriteRegDword(DWORD value, const wchar_t* subKey, const wchar_t* valueName);

// Reads a value of at most 4 bytes, whatever its type (64-bit view). On failure `value` is left untouched.
bool ReadRegDword(DWORD* value, const wchar_t* subKey, const wchar_t* valueName);

// True when `subKey` can be opened for reading (default view).
bool RegKeyExists(const wchar_t* subKey);

// Reads a string value into `text` (kPathChars units, always terminated; REG_EXPAND_SZ comes back expanded).
// A value that does not fit in 259 characters and its terminator, once expanded, fails. On failure `text` is empty.
bool ReadRegString(const wchar_t* subKey, const wchar_t* valueName, wchar_t* text);
