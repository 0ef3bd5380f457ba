#pragma once
// Diagnostic log: entries go to the debug output and to "D:\DeviceControl\em9.Log" while that folder exists.
// No heap is used; every text lives in fixed buffers. Not reentrant: called from the main thread only.
// The log routines change the last-error code, so callers take GetLastError() before calling them.

#include <windows.h>

// Formats of both entry points: printf-style, %s takes a wide string.
void LogError(const wchar_t* format, ...);
void LogDebug(const wchar_t* format, ...);

// Appends one stamped line holding the entry to the log file; a line whose file cannot be opened is dropped
// without using up a sequence number.
void WriteLogLine(const wchar_t* entry);

// Lays out one log line, "[stamp sequence] entry ", from a UTC time; cuts it to the capacity.
void FormatLogLine(wchar_t* line, size_t capacity, const SYSTEMTIME& utc, int sequence, const wchar_t* entry);
