#pragma once
// Process control: start and await programs, find the desktop shell, end named processes.

#include <windows.h>

// Room for a command line: a quoted path and argument texts that hold another quoted path.
constexpr size_t kCommandLineChars = 1024;

// Lays out `"program"arguments` (arguments appended as given; they begin with their own blank). False when it
// does not fit.
bool BuildCommandLine(wchar_t* commandLine, size_t capacity, const wchar_t* program, const wchar_t* arguments);

// Starts `program` with `arguments` (may be null) and waits without limit for it to end. True when the process
// was created; `exitCode` then holds its exit code. On false `exitCode` is untouched and a debug entry with the
// system's error code has been logged.
bool RunAndWait(const wchar_t* program, const wchar_t* arguments, DWORD* exitCode);

// The process id of a running "explorer.exe" (exact, case-sensitive image name), or 0.
DWORD FindExplorerProcess();

// Ends, with exit code 0, the first of the first 1024 processes whose main module is "Settings.exe" (any case).
// True when such a process was found, even if ending it was refused.
bool TerminateSettingsProcess();

// Ends the first process named "TesmarWiFiHotspotSvr.exe" that can be opened and terminated; up to three passes
// with 220 ms after each. True when one was ended.
bool TerminateHotspotSvrProcess();
