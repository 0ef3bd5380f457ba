// Hundreds of hostile command lines through the product's own walk and switch table, in this process: every chore
// the table selects runs for real (in a clean machine they change nothing) and is recorded, so the rows that ran,
// their order and the exit code can be held against the table's published rules.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "app/switches.h"
#include "harness/hostile.h"
#include "harness/snapshot.h"

using namespace harness;

namespace
{
constexpr uint32_t kSeed = 20260304;

std::vector<std::pair<int, std::wstring>> g_ran;
Chore g_chores[16];

template <int Row>
WalkStep Recorded(const wchar_t* argument)
{
    g_ran.emplace_back(Row, argument);
    return g_chores[Row](argument);
}

// The program's table with every chore wrapped by its recorder.
template <int... Rows>
std::vector<SwitchRow> RecordingTable(std::integer_sequence<int, Rows...>)
{
    size_t rows = 0;
    const SwitchRow* table = ProgramSwitchTable(&rows);
    std::vector<SwitchRow> recording(table, table + rows);
    const Chore recorders[] = {Recorded<Rows>...};
    for (size_t row = 0; row < rows && row < sizeof...(Rows); ++row)
    {
        g_chores[row] = recording[row].chore;
        recording[row].chore = recorders[row];
    }
    return recording;
}
}  // namespace

TEST(HostileCommandLines, WalkRunsExactlyTheChoresTheTableNames)
{
    CleanMachine machine;
    const std::vector<SwitchRow> table = RecordingTable(std::make_integer_sequence<int, 16>());
    ASSERT_EQ(table.size(), 16u);
    const Snapshot before = TakeSnapshot();
    const std::vector<HostileLine> lines = HostileCommandLines(kSeed, 400);
    for (size_t index = 0; index < lines.size(); ++index)
    {
        const HostileLine& line = lines[index];
        SCOPED_TRACE(testing::Message() << "seed " << kSeed << ", line " << index << " (" << line.kind << ", "
                                        << line.text.size() << " characters): " << Printable(line.text));
        const std::vector<std::wstring> arguments = SplitCommandLine(line.text);
        const size_t at = std::mismatch(arguments.begin(), arguments.end(), line.intended.begin(), line.intended.end())
                              .first - arguments.begin();
        ASSERT_TRUE(arguments == line.intended)
            << "element " << at << " is " << (at < arguments.size() ? Printable(arguments[at]) : "(none)")
            << "\n  instead of " << (at < line.intended.size() ? Printable(line.intended[at]) : "(none)");
        const ModelWalk expected = WalkModel(arguments);
        int count = 0;
        wchar_t** split = CommandLineToArgvW(line.text.c_str(), &count);
        ASSERT_NE(split, nullptr);
        g_ran.clear();
        const UINT exitCode = WalkArguments(count, split, table.data(), table.size());
        LocalFree(split);
        ASSERT_EQ(exitCode, expected.exitCode) << DescribeRan(g_ran);
        ASSERT_TRUE(g_ran == expected.ran)
            << "ran " << DescribeRan(g_ran) << "\nexpected " << DescribeRan(expected.ran);
    }
    EXPECT_EQ(CompareSnapshots(before, TakeSnapshot()), std::vector<std::string>{});
}
