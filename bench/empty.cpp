// The yardsticks for Instelix.exe: a GUI program that does nothing, built with the same options. What Instelix
// costs beyond it (start-up, size, memory) is what its own code and imports add. Built a second time with
// EMPTY_WITH_PROGRAM_IMPORTS, it imports one function from each system library that Instelix imports, so that
// the loader maps the same libraries and only Instelix's own code makes the difference.
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <setupapi.h>

#ifdef EMPTY_WITH_PROGRAM_IMPORTS
namespace
{
volatile bool g_never = false;
}  // namespace
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
#ifdef EMPTY_WITH_PROGRAM_IMPORTS
    // Never true: the calls are there only so that their libraries are imported.
    if (g_never)
    {
        int count = 0;
        CommandLineToArgvW(L"", &count);
        PathIsDirectoryW(L"");
        SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE);
        RegCloseKey(nullptr);
        GetKeyState(VK_SHIFT);
    }
#endif
    return 0;
}
