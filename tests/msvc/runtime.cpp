// A stand-in for the pieces of Visual Studio's static runtime (libcmt) that the MSVC-way test build of Instelix needs
// and Debian does not ship, which cannot be installed here; ucrtbase.dll gives the rest. It keeps to what the program
// needs, done as the real runtime does it:
//   - the entry: runs the C++ initialisers, passes wWinMain the command line after the program name and the show
//     state the starter asked for, and exits with what it returns;
//   - the /GS stack cookie (fixed: nothing here attacks the stack) and its check, which ends the process on a
//     mismatch;
//   - _chkstk, which touches each page of a frame larger than one page, top down, so that the stack grows into it;
//   - __std_terminate, for a noexcept function left by an exception.
// Compiled with /GS-, as the real runtime's entry is.
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
// The command line after the program name, by the runtime's own rule.
extern "C" wchar_t* __cdecl _get_wide_winmain_command_line();

extern "C" void wWinMainCRTStartup()
{
    for (const Initializer* next = &firstInitializer + 1; next < &lastInitializer; ++next)
    {
        if (*next != nullptr)
            (*next)();
    }
    STARTUPINFOW startup = {};
    GetStartupInfoW(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    exit(wWinMain(GetModuleHandleW(nullptr), nullptr, _get_wide_winmain_command_line(), show));
}
