#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>

int main(int argc, char** argv)
{
    // A crashing test program must end, not wait for a debugger to attach.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Nothing is left to release; ending at once keeps library clean-up, which the suite does not test, from
    // holding up the verdict on a machine whose emulated 32-bit side has crashed processes before.
    fflush(stdout);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
