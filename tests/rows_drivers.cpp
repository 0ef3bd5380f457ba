// "/UPDATEDRIVER", "/DELETEDRIVERBYSETTINGS", "/FLYDRIVER" and "/INSTALLSVR" end to end.
#include "harness/rows.h"

namespace
{
const std::string kDevice = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004\\0",
                  kDriver = kSys + "\\drivers\\AcpiQrx.sys";
const std::string kDpinst = "DPInst.exe\t\"" + kBin + "\\DPInst.exe\"";
const std::string kWdreg = "wdreg.exe\t\"" + kBin + "\\wdreg.exe\" -inf \"" + kBin + "\\AcpiQrx.inf\" -silent ";
const Lines kRemove = {kDpinst + " /u \"C:\\windows\\INF\\oem12.inf\" /d /SW"}, kInstall = {kDpinst + " /SW"};
const Lines kWdregBoth = {kWdreg + "uninstall", kWdreg + "install"}, kDeleted = {"- " + kDriver + ": version 1.2.3.4"};
const std::string kVersionFailed = "error| InstallSvr GetFileVersion  TesmarWiFiHotspotSvr failed:";
const Lines kStartFailed = {"Debug|g_UnloadWordDropCtl  CreateProcess failed 2"};

// The device as the system records it, the installed and packaged driver, and both tools ("absent": left out).
Entries Acpi(const char* installed, const char* packaged, const std::string& service = "REG_SZ AcpiQrx",
             const std::string& description = "REG_SZ @oem12.inf,%desc%;Tesmar ACPI Device")
{
    return {
        {kDevice + ": Service", service},   {kDevice + ": DeviceDesc", description}, {kDriver, installed},
        {kBin + "\\AcpiQrx.sys", packaged}, {kBin + "\\DPInst.exe", "standin"},      {kBin + "\\wdreg.exe", "standin"}};
}
const Entries kOlder = Acpi("version 1.2.3.4", "version 1.2.3.5"), kFresh = Acpi("version 1", "version 2", "absent");
const Entries kNoTools = {{kBin + "\\DPInst.exe", "absent"}, {kBin + "\\wdreg.exe", "absent"}};

// clang-format off
const bool kAcpi = RegisterRows("Acpi", {
    {"update without a driver service installs", Win64, kFresh, "/UPDATEDRIVER", 1, {}, kInstall},
    {"update without a driver service installs", Win32, kFresh, "UPDATEDRIVER", 1, {}, {kWdreg + "install"}},
    {"update of an older driver removes by INF and installs", Win64, kOlder, "-UPDATEDRIVER", 1, {}, kRemove + kInstall},
    {"update of an older driver removes and installs", Win32, kOlder, "/UPDATEDRIVER", 1, {}, kWdregBoth},
    {"update of an equal driver does nothing", Win64, Acpi("version 1.2.3.4", "version 1.2.3.4"), "/UPDATEDRIVER", 0},
    {"update of a newer driver does nothing", Win64, Acpi("version 2.0.0.0", "version 1.9.9.9"), "/UPDATEDRIVER", 0},
    {"update without an installed driver fails", Win64, Acpi("absent", "version 1"), "/UPDATEDRIVER", 0, {}, {},
     {kVersionFailed + "2"}},
    {"update without a packaged driver fails", Win64, Acpi("version 1", "absent"), "/UPDATEDRIVER", 0, {}, {},
     {kVersionFailed + "*"}},
    {"update of an unversioned driver fails", Win64, Acpi("text: x", "version 1"), "/UPDATEDRIVER", 0, {}, {},
     {kVersionFailed + "*"}},
    {"update with a description naming no INF only installs", Win64,
     Acpi("version 1", "version 2", "REG_SZ AcpiQrx", "REG_SZ ACPI Device"), "/UPDATEDRIVER", 1, {}, kInstall},
    {"update without a description only installs", Win64, Acpi("version 1", "version 2", "REG_SZ AcpiQrx", "absent"),
     "/UPDATEDRIVER", 1, {}, kInstall},
    {"update whose tool cannot start fails", Both, kFresh + kNoTools, "/UPDATEDRIVER", 0, {}, {}, kStartFailed},
    {"update whose removal cannot start installs nothing", Both, kOlder + kNoTools, "/UPDATEDRIVER", 0, {}, {},
     kStartFailed},
    {"removal whose tool cannot start deletes the driver", Win64, kOlder + kNoTools, "/DELETEDRIVERBYSETTINGS", 0,
     kDeleted, {}, kStartFailed},
    {"removal with the settings application installed does nothing", Both,
     kOlder + Entries{{kSettingsKey + "{32}", "key"}}, "/DELETEDRIVERBYSETTINGS", 0},
    {"removal with the utility installed does nothing", Win64,
     kOlder + Entries{{"HKLM\\SOFTWARE\\Tesmar\\TesmarUtility{32}", "key"}}, "DELETEDRIVERBYSETTINGS", 0},
    {"removal removes the package and deletes the driver", Win64, kOlder, "-DELETEDRIVERBYSETTINGS", 0, kDeleted,
     kRemove},
    {"removal removes the package and deletes the driver", Win32, kOlder, "/DELETEDRIVERBYSETTINGS", 0, kDeleted,
     {kWdreg + "uninstall"}},
    {"removal looks for the settings where a 32-bit program does", Win64,
     kOlder + Entries{{kSettingsKey + "{64}", "key"}}, "/DELETEDRIVERBYSETTINGS", 0, kDeleted, kRemove},
    {"removal without a known INF only deletes the driver", Win64,
     Acpi("version 1.2.3.4", "absent", "REG_SZ AcpiQrx", "REG_SZ no inf"), "/DELETEDRIVERBYSETTINGS", 0, kDeleted},
});
// clang-format on

const std::string kDevcon = "devcon.exe\t\"C:\\Suite\\.\\devcon.exe\"";
const Lines kVhidInstall = {kDevcon + " install \"C:\\Suite\\.\\{ARCH}\\WUDFVhidmini.Inf\" \"root\\TesmarVhid\""};
const Lines kVhidBoth = Lines{kDevcon + " remove root\\TesmarVhid"} + kVhidInstall;
const Lines kCounted = {"error| CDevInfo EnumDeviceInfo return  259 "},
            kAdded = {"~ virtual HID devices present: 0 -> 1"};

// Devices present, the installed and the packaged driver library, and devcon beside the program.
Entries Vhid(const char* devices, const char* installed, const char* packaged, const char* arch = "{ARCH}")
{
    return {{"virtual HID devices present", devices},
            {kSys + "\\drivers\\UMDF\\TesmarVhid.dll", installed},
            {std::string("C:\\Suite\\") + arch + "\\TesmarVhid.dll", packaged},
            {"C:\\Suite\\devcon.exe", "standin"}};
}
const Entries kNoDevcon = {{"C:\\Suite\\devcon.exe", "absent"}};

// clang-format off
const bool kVhid = RegisterRows("Vhid", {
    {"no device installs", Both, Vhid("0", "absent", "absent"), "/FLYDRIVER", 1, kAdded, kVhidInstall, kCounted},
    {"one device with an older driver reinstalls", Both, Vhid("1", "version 1", "version 1.0.0.1"), "-flydriver", 1, {},
     kVhidBoth, kCounted},
    {"one device with an equal driver does nothing", Win64, Vhid("1", "version 1.2", "version 1.2"), "/flydriver", 1, {},
     {}, kCounted},
    {"one device with a newer driver does nothing", Win64, Vhid("1", "version 2", "version 1.9"), "-FLYDRIVER", 1, {}, {},
     kCounted},
    {"one device without an installed driver fails", Win64, Vhid("1", "absent", "version 1"), "/FLYDRIVER", 0, {}, {},
     kCounted},
    {"one device without a packaged driver fails", Win64, Vhid("1", "version 1", "absent"), "/FLYDRIVER", 0, {}, {},
     kCounted},
    {"the other machine's package is never read", Win64, Vhid("1", "version 1", "version 2", "x86"), "/FLYDRIVER", 0,
     {}, {}, kCounted},
    {"the other machine's package is never read", Win32, Vhid("1", "version 1", "version 2", "x64"), "/FLYDRIVER", 0,
     {}, {}, kCounted},
    {"two devices reinstall whatever the versions", Win64, Vhid("2", "version 2", "version 1"), "/FLYDRIVER", 1,
     {"~ virtual HID devices present: 2 -> 1"}, kVhidBoth, kCounted},
    {"devcon that cannot start fails", Win64, Vhid("0", "absent", "absent") + kNoDevcon, "/FLYDRIVER", 0, {}, {},
     kCounted + kStartFailed},
    {"a removal that cannot start installs nothing", Win64, Vhid("2", "absent", "absent") + kNoDevcon, "/FLYDRIVER", 0,
     {}, {}, kCounted + kStartFailed},
    {"a renamed program finds devcon beside it", Win64,
     Vhid("0", "absent", "absent") + Entries{{"C:\\Suite\\Device Setup.exe", "library ..\\Instelix.exe"}},
     "!\"C:\\Suite\\Device Setup.exe\" /FLYDRIVER", 1, kAdded, kVhidInstall, kCounted},
});
// clang-format on

const std::string kService = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr";
const std::string kTarget = kSys + "\\TesmarWiFiHotspotSvr.exe", kAside = kTarget + ".Temp";
const std::string kNew = "{PF}\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe";
const std::string kRefused = "error| InstallSvr TesmarWiFiHotspotSvr failed:";
const std::string kUnreadable = "error| InstallSvr GetFileVersion TesmarWiFiHotspotSvr failed:";

// A registered service with this ImagePath ("absent": none) and versions of the registered and the new executable.
Entries Registered(const std::string& imagePath, const char* registered, const char* offered)
{
    return {{"{PF}\\Tesmar\\Tesmar Settings", "folder"},
            {kService + ": Description", "REG_SZ hotspot"},
            {kService + ": ImagePath", imagePath},
            {kTarget, registered},
            {kNew, offered}};
}
const Entries kRunning = {{"running TesmarWiFiHotspotSvr.exe", "1"}, {kAside, "text: stale"}};
const std::string kPath = "REG_EXPAND_SZ " + kTarget;

// clang-format off
const bool kHotspot = RegisterRows("Hotspot", {
    {"first install moves the executable into place and registers it", Both,
     {{kNew, "version 2"}, {"{PFO}\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe", "version 3"}, {kTarget, "text: x"}},
     "-installsvr", 1, {"- " + kNew + ": version 2.0.0.0", "~ " + kTarget + ": 1 bytes -> version 2.0.0.0",
     "+ " + kService + ": key", "+ " + kService + ": ImagePath: REG_EXPAND_SZ *\\TesmarWiFiHotspotSvr.exe"},
     {"TesmarWiFiHotspotSvr.exe\t\"" + kTarget + "\" install"}},
    {"refresh ends the service and swaps an older executable", Both,
     Registered("REG_EXPAND_SZ %SystemRoot%\\System32\\TesmarWiFiHotspotSvr.exe", "version 1", "version 1.0.0.1") + kRunning,
     "/INSTALLSVR", 1, {"- " + kNew + ": version 1.0.0.1", "~ " + kTarget + ": version 1.0.0.0 -> version 1.0.0.1",
     "~ " + kAside + ": 5 bytes -> version 1.0.0.0", "- running TesmarWiFiHotspotSvr.exe: 1"}},
    {"refresh takes only the version from ImagePath", Win64,
     Registered("REG_SZ C:\\Suite\\Other.exe", "absent", "version 2") + Entries{{"C:\\Suite\\Other.exe", "version 1"}},
     "/INSTALLSVR", 1, {"- " + kNew + ": version 2.0.0.0", "+ " + kTarget + ": version 2.0.0.0"}},
    {"first install without the new executable fails", Win64, {{"{PF}\\Tesmar\\Tesmar Settings", "folder"}},
     "/installsvr", 0, {}, {}, {kRefused + "2"}},
    {"first install of an executable that cannot start fails", Win64, {{kNew, "text: not a program"}}, "/INSTALLSVR", 0,
     {"- " + kNew + ": 13 bytes", "+ " + kTarget + ": 13 bytes"}, {},
     {"Debug|g_UnloadWordDropCtl  CreateProcess failed 193", kRefused + "193"}},
    {"refresh without ImagePath fails", Win64, Registered("absent", "version 1", "version 2"), "/INSTALLSVR", 0, {}, {},
     {"error| InstallSvr ReadRegString TesmarWiFiHotspotSvr failed:*"}},
    {"refresh with a quoted ImagePath fails", Win64, Registered("REG_SZ \"" + kTarget + "\"", "version 1", "version 2"),
     "/INSTALLSVR", 0, {}, {}, {kUnreadable + "*"}},
    {"refresh with arguments in ImagePath fails", Win64, Registered(kPath + " -service", "version 1", "version 2"),
     "/INSTALLSVR", 0, {}, {}, {kUnreadable + "*"}},
    {"refresh without the new executable fails", Win64, Registered(kPath, "version 1", "absent"), "/INSTALLSVR", 0, {},
     {}, {kUnreadable + "2"}},
    {"refresh of an equal executable is refused", Win64, Registered(kPath, "version 1.2.3.4", "version 1.2.3.4"),
     "/INSTALLSVR", 0, {}, {}, {kRefused + "*"}},
    {"refresh of a newer executable is refused", Win64, Registered(kPath, "version 1.2.3.5", "version 1.2.3.4"),
     "/INSTALLSVR", 0, {}, {}, {kRefused + "*"}},
    {"a failed final move puts the previous executable back", Both,
     Registered(kPath, "version 1", "version 2") + kRunning + Entries{{"held " + kNew, ""}}, "/INSTALLSVR", 0,
     {"- running TesmarWiFiHotspotSvr.exe: 1", "- " + kAside + ": 5 bytes"}, {},
     {"error| InstallSvr MyMoveFile failed:32"}},
});
// clang-format on
}  // namespace
