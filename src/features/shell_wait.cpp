#include "features/shell_wait.h"

void WaitForDesktopShell(ShellLookup findShell, Sleeper sleep)
{
    // Deliberately unbounded: the callers run at logon and have nothing useful to do until the desktop exists.
    while (findShell() == 0)
        sleep(kShellPollMs);
}
