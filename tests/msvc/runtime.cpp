// A stand-in for the pieces of Visual Studio's static runtime (libcmt) that the MSVC-way test build of Instelix needs
// and Debian does not ship; the rest of the runtime comes from ucrtbase.dll. It stands in for what cannot be
// installed here, so it keeps to what the program needs, as the real runtime does it:
//   - the entry: picks the stack cookie, runs the C++ initialisers, passes wWinMain the command line after the program
//     name and the show state the starter asked for, and exits with what it returns;
//   - the /GS stack cookie and its check, which ends the process on a mismatch;
//   - _chkstk, which touches each page of a frame larger than one page, top down, so that the stack grows into it;
//   - __std_terminate, for a noexcept function left by an exception.
// Compiled with /GS-: the entry runs before the cookie is chosen.
#include <windows.h>

#include <stdlib.h>

extern "C" {
UINT_PTR __security_cookie = 0xBB40E64E;

void __fastcall __security_check_cookie(UINT_PTR cookie)
{
    if (cookie != __security_cookie)
        __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

void __std_terminate()
{
    abort();
}

// In: EAX, the frame's size. Out: ESP lowered by that much, the return address on its new top; other registers
// as they were.
__declspec(naked) void _chkstk()
{
    __asm {
        push ecx
        push eax
        lea ecx, [esp + 12]
    probe:
        cmp eax, 1000h
        jb last
        sub ecx, 1000h
        test [ecx], eax
        sub eax, 1000h
        jmp probe
    last:
        sub ecx, eax
        test [ecx], eax
        mov eax, esp
        mov esp, ecx
        push dword ptr [eax + 8]
        mov ecx, [eax + 4]
        mov eax, [eax]
        ret
    }
}
}

typedef void(__cdecl* Initializer)();
#pragma section(".CRT$XCA", read)
#pragma section(".CRT$XCZ", read)
__declspec(allocate(".CRT$XCA")) static const Initializer firstInitializer = nullptr;
__declspec(allocate(".CRT$XCZ")) static const Initializer lastInitializer = nullptr;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show);

namespace
{
void ChooseCookie()
{
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    UINT_PTR cookie = now.dwLowDateTime ^ now.dwHighDateTime ^ GetCurrentProcessId() ^ GetCurrentThreadId();
    cookie ^= counter.LowPart ^ counter.HighPart;
    // The default value, or one whose upper half is zero, is what an attacker would guess first.
    if (cookie == 0xBB40E64E || (cookie & 0xFFFF0000) == 0)
        cookie ^= 0x47110000;
    __security_cookie = cookie;
}

// The command line after the program name, as the runtime gives it to wWinMain: a quoted name ends at the next quote.
PWSTR AfterProgramName(PWSTR line)
{
    bool quoted = false;
    while (*line != 0 && (quoted || (*line != L' ' && *line != L'\t')))
    {
        if (*line == L'"')
            quoted = !quoted;
        ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}
}  // namespace

extern "C" void wWinMainCRTStartup()
{
    ChooseCookie();
    for (const Initializer* next = &firstInitializer + 1; next < &lastInitializer; ++next)
    {
        if (*next != nullptr)
            (*next)();
    }
    STARTUPINFOW startup = {};
    GetStartupInfoW(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    exit(wWinMain(GetModuleHandleW(nullptr), nullptr, AfterProgramName(GetCommandLineW()), show));
}
