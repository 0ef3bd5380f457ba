// Writes COUNT error entries through the program's own log: logbench COUNT. While the log folder exists each is a
// stamped line appended to the log file, so the run with COUNT lines less the run with none is their cost.
#include <windows.h>
#include <stdlib.h>

#include "support/log.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    const int count = _wtoi(commandLine);
    for (int line = 0; line < count; ++line)
        LogError(L" InstallSvr MyMoveFile failed:%d", ERROR_ACCESS_DENIED);
    return 0;
}
