// Hostile input to the program itself: command lines through its own start-up, and registry values of the wrong
// type or size, or keys it may not open, where its chores read and write.
#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "harness/harness.h"
#include "harness/hostile.h"
#include "harness/modes.h"
#include "harness/snapshot.h"
#include "harness/support.h"

using namespace harness;

namespace
{
constexpr uint32_t kSeed = 4032026;

const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr";
const wchar_t kDeviceKey[] = L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004\\0";
const std::wstring kTarget = L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe";
const std::wstring kTools = L"C:\\Program Files\\Tesmar\\Orvane Tuner\\bin";
const std::wstring kOem12Uninstall =
    L"DPInst.exe\t\"" + kTools + L"\\DPInst.exe\" /u \"C:\\windows\\INF\\oem12.inf\" /d /SW";
const std::wstring kWdregUninstall =
    L"wdreg.exe\t\"" + kTools + L"\\wdreg.exe\" -inf \"" + kTools + L"\\AcpiQrx.inf\" -silent uninstall";

std::vector<std::wstring> LoggedErrors()
{
    std::vector<std::wstring> errors;
    for (const LogLine& line : ReadLog())
    {
        if (line.kind == L"error")
            errors.push_back(line.message);
    }
    return errors;
}
}  // namespace

TEST(HostileCommandLines, ProgramEndsAsTheTableSaysAndChangesNothing)
{
    CleanMachine machine;
    const std::vector<HostileLine> lines = HostileCommandLines(kSeed, 64);
    for (size_t index = 0; index < lines.size(); ++index)
    {
        const HostileLine& line = lines[index];
        SCOPED_TRACE(testing::Message() << "seed " << kSeed << ", line " << index << " (" << line.kind
                                        << "): " << Printable(line.text));
        const Snapshot before = TakeSnapshot();
        const RunResult run = harness::Run(InstelixPath(), line.text, 30000);
        ASSERT_TRUE(run.started) << GetLastError();
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, WalkModel(line.intended).exitCode);
        EXPECT_EQ(CompareSnapshots(before, TakeSnapshot()), std::vector<std::string>{});
    }
}

// The service refresh reads ImagePath and the driver removal DeviceDesc as text whatever their type: the bytes are
// taken as they are, and anything that is not a usable path ends the chore without a move or a removal. How each
// type and size reads is pinned by the registry unit tests; here one value of each outcome goes through a chore.
TEST(HostileRegistry, MalformedStringValuesEndTheChoresWithoutHarm)
{
    const std::wstring readFailed = L" InstallSvr ReadRegString TesmarWiFiHotspotSvr failed:";
    const std::wstring versionFailed = L" InstallSvr GetFileVersion TesmarWiFiHotspotSvr failed:";
    struct Case
    {
        const char* name;
        bool imagePath;  // the service refresh reads ImagePath; otherwise the driver removal reads DeviceDesc
        DWORD type;
        std::string bytes;
        UINT exitCode;
        std::wstring error;    // start of the one error logged; empty: none
        bool uninstallsOem12;  // 64-bit Windows: DPInst is told to remove oem12.inf
    };
    const auto path = [](const char* name, DWORD type, std::string bytes, UINT exitCode, std::wstring error) {
        return Case{name, true, type, std::move(bytes), exitCode, std::move(error), false};
    };
    const auto description = [](const char* name, DWORD type, std::string bytes, bool uninstallsOem12) {
        return Case{name, false, type, std::move(bytes), 0, L"", uninstallsOem12};
    };
    const Case cases[] = {
        path("600-byte binary", REG_BINARY, std::string(600, 'A'), 0, readFailed),
        path("multi-string", REG_MULTI_SZ, Utf16Bytes(L"C:\\none.exe") + Utf16Bytes(kTarget) + Utf16Bytes(L""), 0, versionFailed),
        // Unterminated binary bytes that spell the registered path are that path: the refresh goes ahead.
        path("binary bytes of the path", REG_BINARY, Utf16Bytes(kTarget, false), 1, L""),
        description("binary bytes of the text", REG_BINARY, Utf16Bytes(L"@oem12.inf,%desc%;ACPI", false), true),
        description("600-byte binary", REG_BINARY, std::string(600, 'A'), false),
    };
    const WORD registered[4] = {1, 0, 0, 0};
    const WORD offered[4] = {2, 0, 0, 0};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CleanMachine machine;
        DeleteKeyEverywhere(L"SOFTWARE\\Tesmar\\TesmarUtility");  // nothing keeps the driver
        LogFolder folder;
        Journal journal;
        const std::wstring offeredPath = InstallRoot() + L"\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe";
        MakeDirs(InstallRoot() + L"\\Tesmar\\Tesmar Settings");
        CopyWithVersion(FixturePath(L"hotspotsvr.exe"), kTarget, registered, registered);
        CopyWithVersion(FixturePath(L"hotspotsvr.exe"), offeredPath, offered, offered);
        const std::string registeredBytes = ReadBytes(kTarget), offeredBytes = ReadBytes(offeredPath);
        MakeDirs(kTools);
        for (const wchar_t* tool : {L"\\DPInst.exe", L"\\wdreg.exe"})
            ASSERT_TRUE(CopyFileW(FixturePath(L"recorder.exe").c_str(), (kTools + tool).c_str(), FALSE));
        SetString(View::Default, kDeviceKey, L"Service", L"AcpiQrx");
        SetValue(View::Default, c.imagePath ? kServiceKey : kDeviceKey, c.imagePath ? L"ImagePath" : L"DeviceDesc",
                 c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));

        const RunResult run = RunInstelix(c.imagePath ? L"/INSTALLSVR" : L"/DELETEDRIVERBYSETTINGS", 30000);

        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, c.exitCode);
        const std::vector<std::wstring> errors = LoggedErrors();
        ASSERT_EQ(errors.size(), c.error.empty() ? 0u : 1u);
        if (!c.error.empty())
        {
            EXPECT_EQ(errors[0].substr(0, c.error.size()), c.error);
        }
        const bool swapped = c.imagePath && c.exitCode == 1;
        EXPECT_EQ(ReadBytes(kTarget), swapped ? offeredBytes : registeredBytes);
        EXPECT_EQ(ReadBytes(offeredPath), swapped ? std::string() : offeredBytes);
        std::vector<std::wstring> removals;
        if (!c.imagePath && !IsWin64Machine())
            removals.push_back(kWdregUninstall);
        if (c.uninstallsOem12 && IsWin64Machine())
            removals.push_back(kOem12Uninstall);
        EXPECT_EQ(journal.Lines(), removals);
    }
}

// The reading-mode mirror under a settings key of the wrong shape: a value that is not 4 bytes (or not there to
// read) counts as the default 1; a key that refuses writing keeps its value, and the walk goes on either way.
TEST(HostileRegistry, ReadingModeMirrorSurvivesMalformedOrLockedSettings)
{
    const long long kept = -2;  // the stored value stays as it was
    struct Case
    {
        const char* name;
        DWORD type;
        std::string bytes;
        const wchar_t* rules;  // access rules of the settings key; null: open to all
        const wchar_t* status;  // what the library reports
        long long after;        // REG_DWORD found afterwards, or kept
    };
    const Case cases[] = {
        {"string where a dword belongs", REG_SZ, Utf16Bytes(L"1"), nullptr, L"1", 1},
        {"600 bytes", REG_BINARY, std::string(600, '\1'), nullptr, L"1", kept},
        {"600 bytes, library off", REG_BINARY, std::string(600, '\1'), nullptr, L"0", 0},
        {"key refuses everything", REG_DWORD, std::string("\1\0\0\0", 4), L"D:", L"0", kept},
        {"key refuses writing", REG_DWORD, std::string("\1\0\0\0", 4), L"D:(A;;KR;;;WD)", L"0", kept},
    };
    PlacedLibrary library(L"FolioViewAPI.dll", FolioLibraryPath());
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CleanSettingsKey clean;
        SetValue(View::Bits64, kSettingsKey, L"StartStatus1", c.type, c.bytes.data(),
                 static_cast<DWORD>(c.bytes.size()));
        ScopedEnv status(L"INSTELIX_FOLIO_STATUS", c.status);
        {
            std::unique_ptr<ScopedKeyAccess> access;
            if (c.rules != nullptr)
                access = std::make_unique<ScopedKeyAccess>(View::Bits64, kSettingsKey, c.rules);
            // The walk goes on to the next switch, which ends it with 1.
            EXPECT_EQ(RunInstelix(L"/fviewget /setrotationopen").exitCode, 1u);
        }
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_TRUE(GetValue(View::Bits64, kSettingsKey, L"StartStatus1", &type, &data));
        if (c.after == kept)
        {
            EXPECT_EQ(type, c.type);
            EXPECT_EQ(std::string(data.begin(), data.end()), c.bytes);
        }
        else
        {
            EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
            EXPECT_EQ(GetDword(View::Bits64, kSettingsKey, L"StartStatus1"), c.after);
        }
    }
}

TEST(HostileRegistry, RotationWatchEndsWithZeroOnASettingsKeyItMayNotOpen)
{
    CleanSettingsKey clean;
    SetDword(View::Bits64, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation", L"Enable", 1);
    SetDword(View::Bits64, kSettingsKey, L"Other", 3);
    {
        ScopedKeyAccess access(View::Bits64, kSettingsKey, L"D:");
        const RunResult run = RunInstelix(L"/rotationreg", 10000);
        EXPECT_FALSE(run.timedOut) << "the watch started on a key it may not read";
        EXPECT_EQ(run.exitCode, 0u);
    }
    EXPECT_EQ(GetDword(View::Bits64, kSettingsKey, L"AutoRatation"), -1) << "seeded through a closed key";
    DeleteKeyEverywhere(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation");
}
