#pragma once
// Reading mode: switched and queried through the suite's reading-mode library, mirrored into the settings key.
// Each chore gives true when the library was loaded and its entry point found (the walk goes on), false when not
// (nothing was called or written, and the walk ends).

#include <windows.h>

// Full path of the reading-mode library on 64-bit or 32-bit Windows; the other path is never tried.
const wchar_t* ReadingModeLibraryPath(bool is64BitWindows);

// Whether the get chore must rewrite "StartStatus1": `stored` is what the key held, or null when it could not
// be read (an absent value counts as 1, the state the settings application assumes).
bool StatusMirrorNeedsWrite(DWORD current, const DWORD* stored);

// Turns reading mode on and records "StartStatus1" = 1.
bool RunReadingModeOn();
// Records the library's current state as "StartStatus1" when it differs from the stored one.
bool RunReadingModeGet();
// Waits until the desktop shell runs, then behaves as RunReadingModeOn.
bool RunReadingModeWait();
// Turns reading mode off; "StartStatus1" is left as it is.
bool RunReadingModeOff();
// Records the library's support answer as "IsSupport1", every time.
bool RunReadingModeIsSupport();
