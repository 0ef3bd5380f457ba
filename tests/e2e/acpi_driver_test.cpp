// "/UPDATEDRIVER" and "/DELETEDRIVERBYSETTINGS" end to end: which installer tool ran with which command line.
#include <gtest/gtest.h>

#include "harness/support.h"

using namespace harness;

namespace
{
using Lines = std::vector<std::wstring>;

const std::wstring kBin = L"C:\\Program Files\\Tesmar\\Orvane Tuner\\bin";
const std::wstring kDpinst = kBin + L"\\DPInst.exe";
const std::wstring kWdreg = kBin + L"\\wdreg.exe";
const std::wstring kPackaged = kBin + L"\\AcpiQrx.sys";
const std::wstring kInstalled = L"C:\\Windows\\System32\\drivers\\AcpiQrx.sys";
const std::wstring kDeviceKey = L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004";
const std::wstring kSettingsKey = L"SOFTWARE\\Tesmar\\Tesmar Settings";
const std::wstring kUtilityKey = L"SOFTWARE\\Tesmar\\TesmarUtility";
const wchar_t kOem12[] = L"@oem12.inf,%desc%;Tesmar ACPI Device";
const std::wstring kVersionFailure = L"<<<=Ts error=>>>:  InstallSvr GetFileVersion  TesmarWiFiHotspotSvr failed:";
const std::wstring kInstall = L"DPInst.exe\t\"" + kDpinst + L"\" /SW";
const std::wstring kOem12Uninstall = L"DPInst.exe\t\"" + kDpinst + L"\" /u \"C:\\windows\\INF\\oem12.inf\" /d /SW";

std::wstring Wdreg(const std::wstring& action)
{
    return L"wdreg.exe\t\"" + kWdreg + L"\" -inf \"" + kBin + L"\\AcpiQrx.inf\" -silent " + action;
}

class AcpiDriver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        MakeDirs(kBin);
        for (const std::wstring& tool : {kDpinst, kWdreg})
            ASSERT_TRUE(CopyFileW(FixturePath(L"recorder.exe").c_str(), tool.c_str(), FALSE));
    }

    // The device as the system records it, and the driver files; a null text leaves the value out.
    void Arrange(const wchar_t* service, const wchar_t* deviceDesc, Version4 installed, Version4 packaged)
    {
        DeleteKeyEverywhere(kDeviceKey);
        RemoveFile(journal_.Path());
        RemoveFile(kLogFile);
        const std::wstring instance = kDeviceKey + L"\\0";
        SetString(View::Default, instance, L"Capabilities", L"");
        if (service != nullptr)
            SetString(View::Default, instance, L"Service", service);
        if (deviceDesc != nullptr)
            SetString(View::Default, instance, L"DeviceDesc", deviceDesc);
        PlaceVersioned(kInstalled, installed);
        PlaceVersioned(kPackaged, packaged);
    }

    Tidy tidy_{[] {
        RemoveTree(L"C:\\Program Files\\Tesmar");
        RemoveFile(kInstalled);
        for (const std::wstring& key : {kDeviceKey, kSettingsKey, kUtilityKey})
            DeleteKeyEverywhere(key);
    }};
    LogFolder log_;
    Journal journal_;
};

TEST_F(AcpiDriver, UpdateRunsTheMachinesInstallerOnlyWhenTheDriverNeedsIt)
{
    const Lines none, wdregPair = {Wdreg(L"uninstall"), Wdreg(L"install")};
    const struct
    {
        const char* name;
        const wchar_t* service;
        const wchar_t* deviceDesc;
        Version4 installed, packaged;
        UINT exitCode;
        Lines win64, win32;
        std::wstring logged;  // the version failure logged, up to where its text is known
    } cases[] = {
        {"no driver service: install only", nullptr, kOem12, V(1, 0, 0, 0), V(2, 0, 0, 0), 1, {kInstall},
         {Wdreg(L"install")}, L""},
        {"installed older", L"AcpiQrx", kOem12, V(1, 2, 3, 4), V(1, 2, 3, 5), 1, {kOem12Uninstall, kInstall},
         wdregPair, L""},
        {"installed as new", L"AcpiQrx", kOem12, V(1, 2, 3, 4), V(1, 2, 3, 4), 0, none, none, L""},
        {"installed newer", L"AcpiQrx", kOem12, V(2, 0, 0, 0), V(1, 9, 9, 9), 0, none, none, L""},
        // The failure carries the system's code.
        {"installed file missing", L"AcpiQrx", kOem12, kNoFile, V(1, 0, 0, 0), 0, none, none,
         kVersionFailure + L"2\r\n"},
        {"packaged file missing", L"AcpiQrx", kOem12, V(1, 0, 0, 0), kNoFile, 0, none, none, kVersionFailure},
        {"installed file unversioned", L"AcpiQrx", kOem12, kUnversioned, V(1, 0, 0, 0), 0, none, none,
         kVersionFailure},
        // A text that names no INF gives DPInst nothing to remove; the install still runs.
        {"description without inf", L"AcpiQrx", L"Tesmar ACPI Device", V(1, 0, 0, 0), V(1, 0, 0, 1), 1, {kInstall},
         wdregPair, L""},
        {"description unreadable", L"AcpiQrx", nullptr, V(1, 0, 0, 0), V(1, 0, 0, 1), 1, {kInstall}, wdregPair, L""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Arrange(c.service, c.deviceDesc, c.installed, c.packaged);
        EXPECT_EQ(RunInstelix(L"/UPDATEDRIVER").exitCode, c.exitCode);
        EXPECT_EQ(journal_.Lines(), IsWin64Machine() ? c.win64 : c.win32);
        const std::wstring log = LogText();
        EXPECT_EQ(Occurrences(log, kVersionFailure), c.logged.empty() ? 0u : 1u) << log;
        EXPECT_TRUE(c.logged.empty() || Occurrences(log, c.logged) == 1) << log;
    }
}

TEST_F(AcpiDriver, ToolThatCannotBeStartedEndsTheChoreWithZero)
{
    const struct
    {
        const wchar_t* arguments;
        const wchar_t* service;
    } cases[] = {{L"/UPDATEDRIVER", nullptr}, {L"/UPDATEDRIVER", L"AcpiQrx"}, {L"/DELETEDRIVERBYSETTINGS", L"AcpiQrx"}};
    RemoveFile(IsWin64Machine() ? kDpinst : kWdreg);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.arguments << (c.service != nullptr ? " with service" : ""));
        Arrange(c.service, kOem12, V(1, 0, 0, 0), V(1, 0, 0, 1));
        EXPECT_EQ(RunInstelix(c.arguments).exitCode, 0u);
        // One failed start: after an uninstall that could not start, no install is tried.
        EXPECT_EQ(Occurrences(LogText(), L"g_UnloadWordDropCtl  CreateProcess failed"), 1u) << LogText();
        EXPECT_EQ(FileExists(kInstalled), wcscmp(c.arguments, L"/DELETEDRIVERBYSETTINGS") != 0);
        EXPECT_EQ(journal_.Lines(), Lines());
    }
}

TEST_F(AcpiDriver, RemovalRunsOnlyWhenNoProductNeedsTheDriver)
{
    const Lines kept = {L"(nothing runs, the driver file stays)"};  // any other outcome deletes the file
    const struct
    {
        const char* name;
        const wchar_t* productKey;  // null: neither key
        View view;
        const wchar_t* deviceDesc;
        Lines win64, win32;
    } cases[] = {
        {"settings installed", kSettingsKey.c_str(), View::Bits32, kOem12, kept, kept},
        {"utility installed", kUtilityKey.c_str(), View::Bits32, kOem12, kept, kept},
        {"no product", nullptr, View::Default, kOem12, {kOem12Uninstall}, {Wdreg(L"uninstall")}},
        // The product keys are looked for where a 32-bit program sees them.
        {"settings key only in the 64-bit view", kSettingsKey.c_str(), View::Bits64, kOem12, {kOem12Uninstall}, kept},
        {"no product, no installed inf known", nullptr, View::Default, L"Tesmar ACPI Device", {},
         {Wdreg(L"uninstall")}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        DeleteKeyEverywhere(kSettingsKey);
        DeleteKeyEverywhere(kUtilityKey);
        if (c.productKey != nullptr)
            SetDword(c.view, c.productKey, L"Installed", 1);
        Arrange(L"AcpiQrx", c.deviceDesc, V(1, 0, 0, 0), kNoFile);
        EXPECT_EQ(RunInstelix(L"/DELETEDRIVERBYSETTINGS").exitCode, 0u);
        const Lines& expected = IsWin64Machine() ? c.win64 : c.win32;
        EXPECT_EQ(FileExists(kInstalled), expected == kept);
        EXPECT_EQ(journal_.Lines(), expected == kept ? Lines() : expected);
    }
}
}  // namespace
