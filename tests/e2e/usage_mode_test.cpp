#include "features/usage_mode.h"
#include "harness/modes.h"

using namespace harness;

namespace
{
const wchar_t kQmx[] = L"TesmarQMX.dll";

class UsageModeRun : public ModeTest
{
protected:
    // The library's calls and the recorded mode; a null `initWait` expects no profile written.
    void ExpectOutcome(const Calls& calls, const char* initWait)
    {
        EXPECT_EQ(CallsOf(kQmx), calls);
        EXPECT_EQ(profile_.Exists(), initWait != nullptr);
        EXPECT_EQ(profile_.InitWait(), initWait != nullptr ? initWait : "");
    }
};

// Hooks for the chore run inside the test: the shell shows up at question `shellAt`, and sleeps are only noted.
int shellAt = 1;
int questions = 0;
std::vector<DWORD> sleeps;

void WINAPI RecordSleep(DWORD milliseconds)
{
    sleeps.push_back(milliseconds);
}
}  // namespace

TEST_F(UsageModeRun, SetsTheNamedModeAndRecordsItForEachArgument)
{
    const Calls loadFree = {L"load", L"free"};
    const struct
    {
        const wchar_t* arguments;
        Calls calls;
        const char* initWait;
        Placement placement;
        const wchar_t* fixture;
    } cases[] = {
        {L"/qmxmv", {L"load", L"SetQmxMode 1", L"free"}, "1", Installed, kQmx},
        {L"-qmxmu", {L"load", L"SetQmxMode 3", L"free"}, "3", Installed, kQmx},
        {L"/QMXNOR", {L"load", L"SetQmxMode 0", L"free"}, "0", Installed, kQmx},
        {L"-QMXPH", {L"load", L"SetQmxMode 2", L"free"}, "2", Installed, kQmx},
        {L"/qmxphmv", {L"load", L"SetQmxMode 1", L"free"}, "1", Installed, kQmx},
        {L"mu-qmxnor", {L"load", L"SetQmxMode 0", L"free"}, "0", Installed, kQmx},
        {L"/qmx", loadFree, nullptr, Installed, kQmx},
        {L"/Qmxmv", {}, nullptr, Installed, kQmx},  // mixed case is no usage-mode switch
        // Each argument loads and releases the library; the last one naming a mode wins.
        {L"/qmxmv -qmxph", {L"load", L"SetQmxMode 1", L"free", L"load", L"SetQmxMode 2", L"free"}, "2", Installed,
         kQmx},
        {L"/qmxmu /qmx", {L"load", L"SetQmxMode 3", L"free", L"load", L"free"}, "3", Installed, kQmx},
        // An incomplete library is never called through, but the mode is recorded and the walk goes on.
        {L"/qmxph /PHONECOMPANION", {}, "2", Absent, kQmx},
        {L"/qmxph /PHONECOMPANION", {}, "2", OtherRoot, kQmx},
        // SetQmxMode is exported but is only looked up after CheckLibraryReadyNow.
        {L"/qmxph /PHONECOMPANION", loadFree, "2", Installed, L"TesmarQMX-nocheck.dll"},
        {L"/qmxph /PHONECOMPANION", loadFree, "2", Installed, L"TesmarQMX-noset.dll"},
        {L"/qmxph /PHONECOMPANION", {L"load", L"SetQmxMode 2", L"free"}, "2", Installed, L"TesmarQMX-noget.dll"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.arguments << " with " << c.fixture << " placement " << c.placement);
        Reset();
        const auto library = PlaceLibrary(c.placement, c.fixture, QmxLibraryPath);
        EXPECT_EQ(RunInstelix(c.arguments).exitCode, 0u);
        ExpectOutcome(c.calls, c.initWait);
        EXPECT_FALSE(KeyExists(View::Bits64, kSettingsKey));
    }
}

TEST_F(UsageModeRun, KeepsTheRestOfTheProfile)
{
    const std::string before = "; kept by the settings application\r\n"
                               "[Window]\r\nLeft=10\r\nInitWait=7\r\n"
                               "[ConfigParam]\r\nFirst=a\r\nInitWait=3\r\nLast=z\r\n"
                               "[Other]\r\nKey=Value\r\n";
    WriteBytes(profile_.Path(), before);
    PlacedLibrary library(kQmx, QmxLibraryPath());
    EXPECT_EQ(RunInstelix(L"/qmxnor").exitCode, 0u);
    std::string expected = before;
    expected.replace(expected.find("InitWait=3"), 10, "InitWait=0");
    EXPECT_EQ(ReadBytes(profile_.Path()), expected);
}

TEST_F(UsageModeRun, WaitPausesAfterTheShellAndThenSkipsTheWord)
{
    const struct
    {
        const wchar_t* argument;
        int shellAt;
        std::vector<DWORD> sleeps;
        Calls calls;
        const char* initWait;
    } cases[] = {
        {L"/qmxwaitnor", 1, {10000}, {L"load", L"SetQmxMode 0", L"free"}, "0"},
        {L"/qmxwaitnor", 3, {1000, 1000, 10000}, {L"load", L"SetQmxMode 0", L"free"}, "0"},
        // What is left after "wait" and four more characters holds no mode word.
        {L"/qmxnorwait", 1, {10000}, {L"load", L"free"}, nullptr},
        {L"/qmxmv", 5, {}, {L"load", L"SetQmxMode 1", L"free"}, "1"},
    };
    PlacedLibrary library(kQmx, QmxLibraryPath());
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.argument);
        Reset();
        shellAt = c.shellAt;
        questions = 0;
        sleeps.clear();
        RunUsageModeChore(c.argument, []() -> DWORD { return ++questions >= shellAt ? 4242 : 0; }, RecordSleep);
        EXPECT_EQ(sleeps, c.sleeps);
        ExpectOutcome(c.calls, c.initWait);
    }
}

// The one run that takes the real ten-second pause.
TEST_F(UsageModeRun, WaitTakesTenSecondsEndToEnd)
{
    PlacedLibrary library(kQmx, QmxLibraryPath());
    ScopedShell shell;
    const ULONGLONG start = GetTickCount64();
    const RunResult run = RunInstelix(L"/QMXWAITMU", 30000);
    ASSERT_FALSE(run.timedOut);
    EXPECT_GE(GetTickCount64() - start, 10000u);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectOutcome({L"load", L"SetQmxMode 3", L"free"}, "3");
}
