#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/modes.h"

using namespace harness;

namespace
{
const wchar_t kFolio[] = L"FolioViewAPI.dll";
const wchar_t kQmx[] = L"TesmarQMX.dll";
using Calls = std::vector<std::wstring>;

class ReadingMode : public ::testing::Test
{
protected:
    // The mirror value as a caller sees it in the 64-bit view; on 64-bit Windows the 32-bit view must never receive
    // it.
    long long Mirror(const wchar_t* name)
    {
        if (IsWin64Machine())
        {
            EXPECT_EQ(GetDword(View::Bits32, kSettingsKey, name), -1) << "written to the 32-bit view";
        }
        return GetDword(View::Bits64, kSettingsKey, name);
    }

    DWORD MirrorType(const wchar_t* name)
    {
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        GetValue(View::Bits64, kSettingsKey, name, &type, &data);
        return type;
    }

    // A stored value that reads as `value` but whose type shows whether the program rewrote it.
    void StoreUntyped(const wchar_t* name, DWORD value)
    {
        SetValue(View::Bits64, kSettingsKey, name, REG_BINARY, &value, sizeof(value));
    }

    CleanSettingsKey key_;
    ScopedProfile profile_;
    Journal journal_;
};
}  // namespace

TEST_F(ReadingMode, SwitchesTheLibraryAndMirrorsOnlyTheOnState)
{
    const struct
    {
        const wchar_t* arguments;
        Calls calls;
        long long status;
    } cases[] = {
        {L"/fviewon", {L"load", L"SetFolioViewStatus 1"}, 1},
        {L"/fviewwait", {L"load", L"SetFolioViewStatus 1"}, 1},  // the shell already runs
        {L"-FVIEWWAIT", {L"load", L"SetFolioViewStatus 1"}, 1},
        {L"/fviewoff", {L"load", L"SetFolioViewStatus 0"}, -1},
        // Off never clears the mirror; the module is never released, so it is loaded only once.
        {L"/fviewon /fviewoff", {L"load", L"SetFolioViewStatus 1", L"SetFolioViewStatus 0"}, 1},
    };
    PlacedLibrary library(kFolio, FolioLibraryPath());
    ScopedShell shell;
    for (const auto& c : cases)
    {
        DeleteKeyEverywhere(kSettingsKey);
        RemoveFile(journal_.Path());
        const RunResult run = RunInstelix(c.arguments);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, 0u) << c.arguments;
        EXPECT_EQ(LibraryCalls(journal_.Lines(), kFolio), c.calls) << c.arguments;
        EXPECT_EQ(Mirror(L"StartStatus1"), c.status) << c.arguments;
        EXPECT_EQ(Mirror(L"IsSupport1"), -1) << c.arguments;
    }
}

TEST_F(ReadingMode, GetWritesTheLibraryStateOnlyWhenItDiffersFromTheStoredOne)
{
    const long long absent = -1;
    const struct
    {
        long long stored;
        const wchar_t* libraryState;
        long long after;
        bool rewritten;
    } cases[] = {
        {absent, L"1", absent, false},  // an absent value counts as 1
        {absent, L"0", 0, true},
        {0, L"0", 0, false},
        {1, L"1", 1, false},
        {1, L"0", 0, true},
        {0, L"1", 1, true},
        {3, L"4294967295", 4294967295, true},
    };
    PlacedLibrary library(kFolio, FolioLibraryPath());
    for (const auto& c : cases)
    {
        DeleteKeyEverywhere(kSettingsKey);
        if (c.stored != absent)
            StoreUntyped(L"StartStatus1", static_cast<DWORD>(c.stored));
        ScopedEnv state(L"INSTELIX_FOLIO_STATUS", c.libraryState);
        RemoveFile(journal_.Path());
        EXPECT_EQ(RunInstelix(L"-FVIEWGET").exitCode, 0u);
        const std::string label = "stored " + std::to_string(c.stored) + ", library " +
                                  std::string(c.libraryState, c.libraryState + wcslen(c.libraryState));
        EXPECT_EQ(LibraryCalls(journal_.Lines(), kFolio), (Calls{L"load", L"GetFolioViewStatus"})) << label;
        EXPECT_EQ(Mirror(L"StartStatus1"), c.after) << label;
        if (c.after != absent)
        {
            EXPECT_EQ(MirrorType(L"StartStatus1"), c.rewritten ? DWORD{REG_DWORD} : DWORD{REG_BINARY}) << label;
        }
    }
}

TEST_F(ReadingMode, IsSupportWritesTheFullAnswerEveryTime)
{
    PlacedLibrary library(kFolio, FolioLibraryPath());
    ScopedEnv support(L"INSTELIX_FOLIO_SUPPORT", L"305419896");
    EXPECT_EQ(RunInstelix(L"/issupportfview").exitCode, 0u);
    EXPECT_EQ(Mirror(L"IsSupport1"), 0x12345678);

    StoreUntyped(L"IsSupport1", 0x12345678);
    EXPECT_EQ(RunInstelix(L"-ISSUPPORTFVIEW").exitCode, 0u);
    EXPECT_EQ(MirrorType(L"IsSupport1"), DWORD{REG_DWORD}) << "an equal value is written again";
    EXPECT_EQ(Mirror(L"StartStatus1"), -1);
    EXPECT_EQ(LibraryCalls(journal_.Lines(), kFolio),
              (Calls{L"load", L"IsSupportFolioView", L"load", L"IsSupportFolioView"}));
}

TEST_F(ReadingMode, UnavailableLibraryOrEntryPointEndsTheWalkUntouched)
{
    const struct
    {
        Placement placement;
        const wchar_t* fixture;
        const wchar_t* reading;
        Calls calls;
    } cases[] = {
        {Absent, kFolio, L"/fviewon", {}},
        {Absent, kFolio, L"/fviewget", {}},
        {Absent, kFolio, L"/issupportfview", {}},
        {OtherRoot, kFolio, L"/fviewon", {}},  // the other install root is never tried
        {OtherRoot, kFolio, L"/fviewoff", {}},
        {Installed, L"FolioViewAPI-noset.dll", L"/fviewon", {L"load"}},
        {Installed, L"FolioViewAPI-noset.dll", L"/fviewwait", {L"load"}},
        {Installed, L"FolioViewAPI-noset.dll", L"/fviewoff", {L"load"}},
        {Installed, L"FolioViewAPI-noget.dll", L"/fviewget", {L"load"}},
        {Installed, L"FolioViewAPI-nosupport.dll", L"/issupportfview", {L"load"}},
    };
    PlacedLibrary usage(kQmx, QmxLibraryPath());
    ScopedShell shell;
    for (const auto& c : cases)
    {
        DeleteKeyEverywhere(kSettingsKey);
        RemoveFile(journal_.Path());
        std::unique_ptr<PlacedLibrary> reading;
        if (c.placement != Absent)
            reading = std::make_unique<PlacedLibrary>(c.fixture, FolioLibraryPath(c.placement == OtherRoot));
        const std::wstring arguments = std::wstring(c.reading) + L" /qmxmv";
        EXPECT_EQ(RunInstelix(arguments).exitCode, 0u) << arguments;
        EXPECT_EQ(LibraryCalls(journal_.Lines(), kFolio), c.calls) << arguments << " with " << c.fixture;
        EXPECT_TRUE(LibraryCalls(journal_.Lines(), kQmx).empty()) << "the walk went on after " << c.reading;
        EXPECT_FALSE(KeyExists(View::Bits64, kSettingsKey)) << arguments;
        EXPECT_FALSE(profile_.Exists()) << arguments;
    }
}

TEST_F(ReadingMode, AvailableLibraryLetsTheWalkGoOn)
{
    PlacedLibrary reading(kFolio, FolioLibraryPath());
    PlacedLibrary usage(kQmx, QmxLibraryPath());
    EXPECT_EQ(RunInstelix(L"/FVIEWOFF /qmxmv").exitCode, 0u);
    EXPECT_EQ(LibraryCalls(journal_.Lines(), kFolio), (Calls{L"load", L"SetFolioViewStatus 0"}));
    EXPECT_EQ(LibraryCalls(journal_.Lines(), kQmx), (Calls{L"load", L"SetQmxMode 1", L"free"}));
}
