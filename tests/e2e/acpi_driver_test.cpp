// "/UPDATEDRIVER" and "/DELETEDRIVERBYSETTINGS" end to end: which installer tool ran with which command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/harness.h"

namespace
{
using Lines = std::vector<std::wstring>;

const std::wstring kTesmar = L"C:\\Program Files\\Tesmar";
const std::wstring kBin = kTesmar + L"\\Orvane Tuner\\bin";
const std::wstring kDpinst = kBin + L"\\DPInst.exe";
const std::wstring kWdreg = kBin + L"\\wdreg.exe";
const std::wstring kPackaged = kBin + L"\\AcpiQrx.sys";
const std::wstring kInstalled = L"C:\\Windows\\System32\\drivers\\AcpiQrx.sys";
const std::wstring kDeviceKey = L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004";
const std::wstring kInstanceKey = kDeviceKey + L"\\0";
const std::wstring kSettingsKey = L"SOFTWARE\\Tesmar\\Tesmar Settings";
const std::wstring kUtilityKey = L"SOFTWARE\\Tesmar\\TesmarUtility";
const std::wstring kLogDir = L"D:\\DeviceControl";
const std::wstring kOem12 = L"@oem12.inf,%desc%;Tesmar ACPI Device";
const std::wstring kVersionFailure = L" InstallSvr GetFileVersion  TesmarWiFiHotspotSvr failed:";
const std::wstring kStartFailure = L"g_UnloadWordDropCtl  CreateProcess failed";

std::wstring DpinstInstall()
{
    return L"DPInst.exe\t\"" + kDpinst + L"\" /SW";
}

std::wstring DpinstUninstall(const std::wstring& inf)
{
    return L"DPInst.exe\t\"" + kDpinst + L"\" /u \"" + inf + L"\" /d /SW";
}

std::wstring Wdreg(const std::wstring& action)
{
    return L"wdreg.exe\t\"" + kWdreg + L"\" -inf \"" + kBin + L"\\AcpiQrx.inf\" -silent " + action;
}

const std::wstring kOem12Uninstall = DpinstUninstall(L"C:\\windows\\INF\\oem12.inf");

size_t Occurrences(const std::wstring& text, const std::wstring& piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// A driver file: absent, without a version resource, or with a file version.
struct DriverFile
{
    enum Kind { Missing, Plain, Versioned } kind;
    WORD version[4];
};
constexpr DriverFile kMissing = {DriverFile::Missing, {}};
constexpr DriverFile kPlain = {DriverFile::Plain, {}};
constexpr DriverFile V(WORD a, WORD b, WORD c, WORD d)
{
    return {DriverFile::Versioned, {a, b, c, d}};
}

class AcpiDriver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Clean();
        harness::MakeDirs(kBin);
        harness::MakeDirs(kLogDir);
        for (const std::wstring& tool : {kDpinst, kWdreg})
            ASSERT_TRUE(CopyFileW(harness::FixturePath(L"recorder.exe").c_str(), tool.c_str(), FALSE));
    }

    void TearDown() override { Clean(); }

    static void Clean()
    {
        harness::RemoveTree(kTesmar + L"\\Orvane Tuner");
        RemoveDirectoryW(kTesmar.c_str());
        harness::RemoveFile(kInstalled);
        harness::DeleteKeyEverywhere(kDeviceKey);
        harness::DeleteKeyEverywhere(kSettingsKey);
        harness::DeleteKeyEverywhere(kUtilityKey);
        harness::RemoveTree(kLogDir);
    }

    static void Place(const DriverFile& file, const std::wstring& path)
    {
        if (file.kind == DriverFile::Plain)
            harness::WriteBytes(path, "not a program");
        else if (file.kind == DriverFile::Versioned)
            harness::CopyWithVersion(harness::FixturePath(L"recorder.exe"), path, file.version, file.version);
    }

    // The device as the system records it; a null text leaves the value out.
    static void SetDevice(const wchar_t* service, const wchar_t* deviceDesc)
    {
        harness::SetString(harness::View::Default, kInstanceKey, L"Capabilities", L"");
        if (service != nullptr)
            harness::SetString(harness::View::Default, kInstanceKey, L"Service", service);
        if (deviceDesc != nullptr)
            harness::SetString(harness::View::Default, kInstanceKey, L"DeviceDesc", deviceDesc);
    }

    static std::wstring LogText() { return harness::Utf16FromBytes(harness::ReadBytes(kLogDir + L"\\em9.Log")); }

    static const Lines& ForMachine(const Lines& win64, const Lines& win32)
    {
        return harness::IsWin64Machine() ? win64 : win32;
    }

    harness::Journal journal_;
};

TEST_F(AcpiDriver, UpdateRunsTheMachinesInstallerOnlyWhenTheDriverNeedsIt)
{
    struct Case
    {
        const char* name;
        const wchar_t* service;
        const wchar_t* deviceDesc;
        DriverFile installed;
        DriverFile packaged;
        UINT exitCode;
        Lines win64;
        Lines win32;
        bool logsVersionFailure;
    };
    const Lines none;
    const Lines wdregPair = {Wdreg(L"uninstall"), Wdreg(L"install")};
    const Case cases[] = {
        {"no driver service: install only", nullptr, kOem12.c_str(), V(1, 0, 0, 0), V(2, 0, 0, 0), 1,
         {DpinstInstall()}, {Wdreg(L"install")}, false},
        {"installed older", L"AcpiQrx", kOem12.c_str(), V(1, 2, 3, 4), V(1, 2, 3, 5), 1,
         {kOem12Uninstall, DpinstInstall()}, wdregPair, false},
        {"installed as new", L"AcpiQrx", kOem12.c_str(), V(1, 2, 3, 4), V(1, 2, 3, 4), 0, none, none, false},
        {"installed newer", L"AcpiQrx", kOem12.c_str(), V(2, 0, 0, 0), V(1, 9, 9, 9), 0, none, none, false},
        {"installed file missing", L"AcpiQrx", kOem12.c_str(), kMissing, V(1, 0, 0, 0), 0, none, none, true},
        {"packaged file missing", L"AcpiQrx", kOem12.c_str(), V(1, 0, 0, 0), kMissing, 0, none, none, true},
        {"installed file unversioned", L"AcpiQrx", kOem12.c_str(), kPlain, V(1, 0, 0, 0), 0, none, none, true},
        // A text that names no INF gives DPInst nothing to remove; the install still runs.
        {"description without inf", L"AcpiQrx", L"Tesmar ACPI Device", V(1, 0, 0, 0), V(1, 0, 0, 1), 1,
         {DpinstInstall()}, wdregPair, false},
        {"description unreadable", L"AcpiQrx", nullptr, V(1, 0, 0, 0), V(1, 0, 0, 1), 1, {DpinstInstall()},
         wdregPair, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        harness::DeleteKeyEverywhere(kDeviceKey);
        harness::RemoveFile(kInstalled);
        harness::RemoveFile(kPackaged);
        harness::RemoveFile(journal_.Path());
        harness::RemoveFile(kLogDir + L"\\em9.Log");
        SetDevice(c.service, c.deviceDesc);
        Place(c.installed, kInstalled);
        Place(c.packaged, kPackaged);

        const harness::RunResult run = harness::RunInstelix(L"/UPDATEDRIVER");

        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(journal_.Lines(), ForMachine(c.win64, c.win32));
        const std::wstring log = LogText();
        EXPECT_EQ(Occurrences(log, kVersionFailure), c.logsVersionFailure ? 1u : 0u) << log;
    }
}

TEST_F(AcpiDriver, UpdateLogsTheVersionFailureWithTheSystemsCode)
{
    SetDevice(L"AcpiQrx", kOem12.c_str());
    Place(V(1, 0, 0, 0), kPackaged);

    EXPECT_EQ(harness::RunInstelix(L"/UPDATEDRIVER").exitCode, 0u);

    EXPECT_NE(LogText().find(L"<<<=Ts error=>>>: " + kVersionFailure + L"2\r\n"), std::wstring::npos) << LogText();
}

TEST_F(AcpiDriver, ToolThatCannotBeStartedEndsTheChoreWithZero)
{
    struct Case
    {
        const wchar_t* arguments;
        const wchar_t* service;
        bool fileDeleted;
    };
    const Case cases[] = {
        {L"/UPDATEDRIVER", nullptr, false},
        {L"/UPDATEDRIVER", L"AcpiQrx", false},
        {L"/DELETEDRIVERBYSETTINGS", L"AcpiQrx", true},
    };
    harness::RemoveFile(harness::IsWin64Machine() ? kDpinst : kWdreg);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.arguments << (c.service != nullptr ? " with service" : ""));
        harness::DeleteKeyEverywhere(kDeviceKey);
        harness::RemoveFile(kLogDir + L"\\em9.Log");
        SetDevice(c.service, kOem12.c_str());
        Place(V(1, 0, 0, 0), kInstalled);
        Place(V(1, 0, 0, 1), kPackaged);

        EXPECT_EQ(harness::RunInstelix(c.arguments).exitCode, 0u);

        // One failed start: after an uninstall that could not start, no install is tried.
        EXPECT_EQ(Occurrences(LogText(), kStartFailure), 1u) << LogText();
        EXPECT_EQ(harness::FileExists(kInstalled), !c.fileDeleted);
        EXPECT_EQ(journal_.Lines(), Lines());
    }
}

TEST_F(AcpiDriver, RemovalRunsOnlyWhenNoProductNeedsTheDriver)
{
    struct Outcome
    {
        Lines runs;
        bool fileDeleted;
    };
    struct Case
    {
        const char* name;
        const wchar_t* productKey;  // null: neither key
        harness::View view;
        const wchar_t* deviceDesc;
        Outcome win64;
        Outcome win32;
    };
    const Outcome kept = {{}, false};
    const Case cases[] = {
        {"settings installed", kSettingsKey.c_str(), harness::View::Bits32, kOem12.c_str(), kept, kept},
        {"utility installed", kUtilityKey.c_str(), harness::View::Bits32, kOem12.c_str(), kept, kept},
        {"no product", nullptr, harness::View::Default, kOem12.c_str(), {{kOem12Uninstall}, true},
         {{Wdreg(L"uninstall")}, true}},
        // The product keys are looked for where a 32-bit program sees them.
        {"settings key only in the 64-bit view", kSettingsKey.c_str(), harness::View::Bits64, kOem12.c_str(),
         {{kOem12Uninstall}, true}, kept},
        {"no product, no installed inf known", nullptr, harness::View::Default, L"Tesmar ACPI Device",
         {{}, true}, {{Wdreg(L"uninstall")}, true}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        harness::DeleteKeyEverywhere(kSettingsKey);
        harness::DeleteKeyEverywhere(kUtilityKey);
        harness::DeleteKeyEverywhere(kDeviceKey);
        harness::RemoveFile(journal_.Path());
        if (c.productKey != nullptr)
            harness::SetDword(c.view, c.productKey, L"Installed", 1);
        SetDevice(L"AcpiQrx", c.deviceDesc);
        Place(V(1, 0, 0, 0), kInstalled);

        const harness::RunResult run = harness::RunInstelix(L"/DELETEDRIVERBYSETTINGS");

        const Outcome& expected = harness::IsWin64Machine() ? c.win64 : c.win32;
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(journal_.Lines(), expected.runs);
        EXPECT_EQ(harness::FileExists(kInstalled), !expected.fileDeleted);
    }
}

}  // namespace
