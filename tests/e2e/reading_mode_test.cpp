#include "harness/modes.h"

using namespace harness;

namespace
{
const wchar_t kFolio[] = L"FolioViewAPI.dll";
const wchar_t kQmx[] = L"TesmarQMX.dll";

class ReadingMode : public ModeTest
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
};
}  // namespace

// Each reading switch is followed by a usage-mode switch, which shows whether the walk went on.
TEST_F(ReadingMode, SwitchesTheLibraryMirrorsOnlyTheOnStateAndEndsTheWalkWhenUnavailable)
{
    const Calls set1 = {L"load", L"SetFolioViewStatus 1"}, none, setMode = {L"load", L"SetQmxMode 1", L"free"};
    const struct
    {
        Placement placement;
        const wchar_t* fixture;
        const wchar_t* reading;
        Calls calls;
        long long status;  // the StartStatus1 mirror afterwards
    } cases[] = {
        {Installed, kFolio, L"/fviewon", set1, 1},
        {Installed, kFolio, L"/fviewwait", set1, 1},  // the shell already runs
        {Installed, kFolio, L"-FVIEWWAIT", set1, 1},
        {Installed, kFolio, L"/FVIEWOFF", {L"load", L"SetFolioViewStatus 0"}, -1},
        // Off never clears the mirror; the module is never released, so it is loaded only once.
        {Installed, kFolio, L"/fviewon /fviewoff", {L"load", L"SetFolioViewStatus 1", L"SetFolioViewStatus 0"}, 1},
        // Without the library or one of its entry points the walk ends and nothing is written.
        {Absent, kFolio, L"/fviewon", none, -1},
        {Absent, kFolio, L"/fviewget", none, -1},
        {Absent, kFolio, L"/issupportfview", none, -1},
        {OtherRoot, kFolio, L"/fviewon", none, -1},  // the other install root is never tried
        {OtherRoot, kFolio, L"/fviewoff", none, -1},
        {Installed, L"FolioViewAPI-noset.dll", L"/fviewon", {L"load"}, -1},
        {Installed, L"FolioViewAPI-noset.dll", L"/fviewwait", {L"load"}, -1},
        {Installed, L"FolioViewAPI-noset.dll", L"/fviewoff", {L"load"}, -1},
        {Installed, L"FolioViewAPI-noget.dll", L"/fviewget", {L"load"}, -1},
        {Installed, L"FolioViewAPI-nosupport.dll", L"/issupportfview", {L"load"}, -1},
    };
    PlacedLibrary usage(kQmx, QmxLibraryPath());
    ScopedShell shell;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.reading << " with " << c.fixture << " placement " << c.placement);
        const auto reading = PlaceLibrary(c.placement, c.fixture, FolioLibraryPath);
        const bool walkGoesOn = c.calls.size() > 1;  // the library was loaded and its entry point found
        Reset();
        EXPECT_EQ(RunInstelix(std::wstring(c.reading) + L" /qmxmv").exitCode, 0u);
        EXPECT_EQ(CallsOf(kFolio), c.calls);
        EXPECT_EQ(CallsOf(kQmx), walkGoesOn ? setMode : none);
        EXPECT_EQ(profile_.Exists(), walkGoesOn);
        EXPECT_EQ(Mirror(L"StartStatus1"), c.status);
        EXPECT_EQ(Mirror(L"IsSupport1"), -1);
        EXPECT_EQ(KeyExists(View::Bits64, kSettingsKey), c.status != -1);
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
        SCOPED_TRACE(testing::Message() << "stored " << c.stored << ", library " << c.libraryState);
        ScopedEnv state(L"INSTELIX_FOLIO_STATUS", c.libraryState);
        Reset();
        if (c.stored != absent)
            StoreUntyped(L"StartStatus1", static_cast<DWORD>(c.stored));
        EXPECT_EQ(RunInstelix(L"-FVIEWGET").exitCode, 0u);
        EXPECT_EQ(CallsOf(kFolio), (Calls{L"load", L"GetFolioViewStatus"}));
        EXPECT_EQ(Mirror(L"StartStatus1"), c.after);
        if (c.after != absent)
        {
            EXPECT_EQ(MirrorType(L"StartStatus1"), c.rewritten ? DWORD{REG_DWORD} : DWORD{REG_BINARY});
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
    EXPECT_EQ(CallsOf(kFolio), (Calls{L"load", L"IsSupportFolioView", L"load", L"IsSupportFolioView"}));
}
