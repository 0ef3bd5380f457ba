#pragma once
// Screen auto-rotation: brought to a wanted state by pressing the system's Windows key + O combination.

#include <windows.h>

// Sends Windows down, O down, O up, Windows up in one SendInput call. True when all four were inserted.
bool SendRotationHotkey();

// Reads the system's "Enable" value and presses the hotkey only when it differs from `target`, then waits (at most
// 2 s) until the shell has changed it. One such decision runs at a time among the session's Instelix processes. False
// when the value cannot be read (nothing is sent) or the injection was refused.
bool SetAutoRotation(DWORD target);

// True when Ctrl, Shift or Alt is down, asked in that order.
bool ModifierKeyHeld();

// "/setrotationopen" (target 1) and "/setrotationclose" (target 0): the exit code, 0 when a modifier is held.
UINT RunSetRotationChore(DWORD target);

// "/rotationreg": applies "AutoRatation" after every change under the settings key until the watch cannot be
// re-armed (exit code 1); 0 when the key cannot be opened.
UINT RunRotationWatchChore();
