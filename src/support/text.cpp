#include "support/text.h"

#include <strsafe.h>

bool CopyText(wchar_t* target, size_t capacity, const wchar_t* source)
{
    return SUCCEEDED(StringCchCopyW(target, capacity, source));
}

bool AppendText(wchar_t* target, size_t capacity, const wchar_t* source)
{
    return SUCCEEDED(StringCchCatW(target, capacity, source));
}

bool FormatTextV(wchar_t* target, size_t capacity, const wchar_t* format, va_list args)
{
    // StringCchVPrintfW formats with the system's wide printf, in which %s is wide on MinGW as on MSVC; on
    // overflow it leaves the cut text terminated.
    return SUCCEEDED(StringCchVPrintfW(target, capacity, format, args));
}

bool FormatText(wchar_t* target, size_t capacity, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool complete = FormatTextV(target, capacity, format, args);
    va_end(args);
    return complete;
}

wchar_t FoldAsciiLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b)
{
    for (; *a != 0 && *b != 0; ++a, ++b)
    {
        if (FoldAsciiLetter(*a) != FoldAsciiLetter(*b))
            return false;
    }
    return *a == *b;
}
