#pragma once
// Usage mode: set through the suite's usage-mode library and recorded in the machine-wide profile file.

#include <windows.h>

#include "features/shell_wait.h"
#include "support/unique.h"

constexpr DWORD kUsageModeSettleMs = 10000;

// What one usage-mode argument asks for.
struct UsageModeRequest
{
    bool waitForShell;
    bool hasMode;
    int mode;  // 0 to 3, meaningful only with hasMode
};

// Reads the argument the way the settings application writes it: the first three characters are skipped wherever
// the switch stood, letters A to Z count in either case, "wait" anywhere asks for the shell wait (and four more
// characters are then skipped), and the first of "mv" (1), "mu" (3), "nor" (0), "ph" (2) found anywhere names the
// mode.
UsageModeRequest ParseUsageModeArgument(const wchar_t* argument);

// The usage-mode library's module and entry points. The module is released with this record.
struct UsageModeLibrary
{
    using SetModeFunction = bool(__cdecl*)(int mode);

    UniqueModule module;
    FARPROC checkLibraryReadyNow = nullptr;
    SetModeFunction setQmxMode = nullptr;
    FARPROC getCurrentUsageMode = nullptr;
};

// Full path of the usage-mode library on 64-bit or 32-bit Windows; the other path is never tried.
const wchar_t* UsageModeLibraryPath(bool is64BitWindows);

// Loads the library and looks up its three entry points in order, stopping at the first missing one. True when
// all three were found; whatever was obtained stays in `library` either way.
bool LoadUsageModeLibrary(UsageModeLibrary* library);

// `folder` followed by "\tmspr_prof.cfg" in `path` (kPathChars units). False, with nothing usable in `path`, when
// `folder` is empty or the result would not fit.
bool ComposeProfilePath(const wchar_t* folder, wchar_t* path);

// Opens the profile file at `path`, creating it when absent, and holds it in `profile`: until that handle is closed
// the file can be neither renamed nor replaced, while WritePrivateProfileStringW can still open it. Every user may
// create files in the common application-data folder, so anything but a plain file under one name at `path` (a hard
// link, or a file reached through a symbolic link or junction) is refused: an elevated write there would land in a
// file of their choosing. False, with `profile` untouched, when refused or when the file cannot be opened.
bool HoldProfile(const wchar_t* path, UniqueFile* profile);

// Sets `mode` through the library when it offers SetQmxMode, then records it as "InitWait" in section
// "ConfigParam" of the profile file in the common application-data folder, leaving the rest of the file alone.
void ApplyUsageMode(const UsageModeLibrary& library, int mode);

// The chore of one usage-mode argument. The shell lookup and the sleep are passed in so that the waits can be
// observed; the library is loaded and released within the call.
void RunUsageModeChore(const wchar_t* argument, ShellLookup findShell, Sleeper sleep);
