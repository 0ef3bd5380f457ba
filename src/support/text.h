#pragma once
// Bounded text helpers over fixed UTF-16 buffers: every result is terminated and nothing is written past the
// capacity. Each returns false when the text had to be cut to fit.

#include <windows.h>
#include <stdarg.h>
#include <stddef.h>

// Room for a path or registry name, terminator included.
constexpr size_t kPathChars = 260;

bool CopyText(wchar_t* target, size_t capacity, const wchar_t* source);
bool AppendText(wchar_t* target, size_t capacity, const wchar_t* source);
// printf-style; %s and %ls both take a wide string on every toolchain.
bool FormatText(wchar_t* target, size_t capacity, const wchar_t* format, ...);
bool FormatTextV(wchar_t* target, size_t capacity, const wchar_t* format, va_list args);

// Lower-cases the letters A to Z and nothing else, whatever the locale.
wchar_t FoldAsciiLetter(wchar_t c);

// Compares two strings, folding only the letters A to Z.
bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b);
