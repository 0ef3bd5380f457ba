#include <windows.h>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // A crashing test program must end, not wait for a debugger to attach.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
