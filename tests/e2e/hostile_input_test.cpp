// Hostile input to the program itself: command lines through its own start-up.
#include <gtest/gtest.h>

#include "harness/harness.h"
#include "harness/hostile.h"
#include "harness/snapshot.h"

using namespace harness;

namespace
{
constexpr uint32_t kSeed = 4032026;
}  // namespace

TEST(HostileCommandLines, ProgramEndsAsTheTableSaysAndChangesNothing)
{
    CleanMachine machine;
    ASSERT_EQ(machine.Leftovers(), std::vector<std::string>{});
    const std::vector<HostileLine> lines = HostileCommandLines(kSeed, 64);
    for (size_t index = 0; index < lines.size(); ++index)
    {
        const HostileLine& line = lines[index];
        SCOPED_TRACE(testing::Message() << "seed " << kSeed << ", line " << index << ": " << DescribeLine(line));
        const Snapshot before = TakeSnapshot();
        const RunResult run = harness::Run(InstelixPath(), line.text, 30000);
        ASSERT_TRUE(run.started) << GetLastError();
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, WalkModel(SplitCommandLine(line.text)).exitCode);
        EXPECT_EQ(CompareSnapshots(before, TakeSnapshot()), std::vector<std::string>{});
    }
}
