#pragma once
// The root-enumerated virtual HID device: installed, refreshed or re-installed through devcon.exe with the
// driver package that lies beside this program.

#include <windows.h>

#include <stddef.h>

#include "support/text.h"

// The tool and package files beside the program, for one machine's architecture.
struct VhidPackagePaths
{
    wchar_t devcon[kPathChars];
    wchar_t inf[kPathChars];
    wchar_t dll[kPathChars];
};

// Builds the paths from the program's own full path: its folder (through the last backslash) followed by
// ".\devcon.exe", ".\x64\..." or ".\x86\...". False when the path has no folder or a result does not fit.
bool BuildVhidPackagePaths(const wchar_t* programPath, bool win64, VhidPackagePaths* paths);

// The devcon argument text that installs the device from `infPath`, beginning with a blank. False when it does
// not fit.
bool BuildDevconInstallArguments(const wchar_t* infPath, wchar_t* arguments, size_t capacity);

// "/FLYDRIVER": counts the class's present devices and installs (none), refreshes when the installed driver DLL
// is older (one) or re-installs (more). 1 when done or nothing needed doing, 0 on failure.
UINT RunFlyDriverChore();
