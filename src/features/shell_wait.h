#pragma once
// Waiting for the user's desktop shell, shared by the chores that must not act before a desktop is up.

#include <windows.h>

// Gives a running shell's process id, or 0 while there is none.
using ShellLookup = DWORD (*)();
// Blocks for a number of milliseconds.
using Sleeper = void(WINAPI*)(DWORD milliseconds);

constexpr DWORD kShellPollMs = 1000;

// Asks `findShell` until it gives a process id, sleeping kShellPollMs between questions; no time limit. When the
// shell already runs nothing is slept.
void WaitForDesktopShell(ShellLookup findShell, Sleeper sleep);
