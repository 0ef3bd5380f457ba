#include <gtest/gtest.h>

#include <vector>

#include "features/shell_wait.h"

namespace
{
// The fake shell appears at the question numbered `shellAt` (1 = already running).
int shellAt = 1;
int questions = 0;
std::vector<DWORD> sleeps;

DWORD FakeShell()
{
    return ++questions >= shellAt ? 4242 : 0;
}

void WINAPI RecordSleep(DWORD milliseconds)
{
    sleeps.push_back(milliseconds);
}
}  // namespace

TEST(ShellWait, PollsEverySecondUntilTheShellAppearsAndNotAfter)
{
    const struct
    {
        int shellAt;
        std::vector<DWORD> sleeps;
    } cases[] = {
        {1, {}},
        {2, {1000}},
        {4, {1000, 1000, 1000}},
    };
    for (const auto& c : cases)
    {
        shellAt = c.shellAt;
        questions = 0;
        sleeps.clear();
        WaitForDesktopShell(FakeShell, RecordSleep);
        EXPECT_EQ(questions, c.shellAt);
        EXPECT_EQ(sleeps, c.sleeps) << "shell at question " << c.shellAt;
    }
}
