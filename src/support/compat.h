#pragma once
// The one place for toolchain differences.

#include <windows.h>

// Looks up an export as a typed function pointer; null when the module lacks it.
template <class Function>
Function ProcAddress(HMODULE module, const char* name)
{
    FARPROC address = GetProcAddress(module, name);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
#endif
    return reinterpret_cast<Function>(address);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
