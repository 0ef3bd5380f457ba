#include <windows.h>

// Wine raises an exception for every OutputDebugString call. Where Wine's 32-bit side runs under a user-mode
// emulator (kernels without 32-bit support), dispatching an exception in a process that has a vectored handler
// (the static thread runtime installs one) corrupts the thread and kills the test program at its next exception.
// GoogleTest writes every failure there and the code under test logs there too; nothing listens in the stand-in
// machines, so the test program routes both imports to a no-op. Instelix itself is unaffected: it has no vectored
// handler.
namespace
{
void WINAPI IgnoreDebugStringA(LPCSTR)
{
}

void WINAPI IgnoreDebugStringW(LPCWSTR)
{
}
}  // namespace

extern "C" {
extern void(WINAPI* g_outputDebugStringA)(LPCSTR) __asm__("__imp__OutputDebugStringA@4");
extern void(WINAPI* g_outputDebugStringW)(LPCWSTR) __asm__("__imp__OutputDebugStringW@4");
void(WINAPI* g_outputDebugStringA)(LPCSTR) = IgnoreDebugStringA;
void(WINAPI* g_outputDebugStringW)(LPCWSTR) = IgnoreDebugStringW;
}
