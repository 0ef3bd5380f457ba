#include <windows.h>

#include "app/switches.h"
#include "support/files.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Before any chore can load a library.
    RestrictLibrarySearch();
    // The runtime's view of the command line drops element 0; the walk tests the program path too.
    return static_cast<int>(RunCommandLine(GetCommandLineW()));
}
