// "/UPDATEDRIVER", "/DELETEDRIVERBYSETTINGS", "/FLYDRIVER" and "/INSTALLSVR" end to end.
#include "harness/rows.h"

namespace
{
const std::string kDevice = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004\\0: ";
const std::string kDriver = kSys + "\\drivers\\AcpiQrx.sys", kDpinst = "DPInst.exe\t\"" + kBin + "\\DPInst.exe\"";
const std::string kWdreg = "wdreg.exe\t\"" + kBin + "\\wdreg.exe\" -inf \"" + kBin + "\\AcpiQrx.inf\" -silent ";
const Lines kRemove = {kDpinst + " /u \"C:\\windows\\INF\\oem12.inf\" /d /SW"}, kInstall = {kDpinst + " /SW"};
const Lines kWdregBoth = {kWdreg + "uninstall", kWdreg + "install"}, kDeleted = {"- " + kDriver + ": version 1.2.3.4"};
const std::string kNoVersion = "error| InstallSvr GetFileVersion  TesmarWiFiHotspotSvr failed:";
const Lines kNoStart = {"Debug|g_UnloadWordDropCtl  CreateProcess failed 2"};

// The device as the system records it, the installed and packaged driver, and both tools ("absent": left out).
Entries Acpi(const char* installed, const char* packaged, const char* service = "REG_SZ AcpiQrx",
             const char* description = "REG_SZ @oem12.inf,%desc%;Tesmar ACPI Device")
{
    return {
        {kDevice + "Service", service},     {kDevice + "DeviceDesc", description}, {kDriver, installed},
        {kBin + "\\AcpiQrx.sys", packaged}, {kBin + "\\DPInst.exe", "standin"},    {kBin + "\\wdreg.exe", "standin"}};
}
const Entries kOlder = Acpi("version 1.2.3.4", "version 1.2.3.5"), kFresh = Acpi("version 1", "version 2", "absent");
const Entries kNoTools = {{kBin + "\\DPInst.exe", "absent"}, {kBin + "\\wdreg.exe", "absent"}};
const Entries kSettings = {{kSettingsKey + "{32}", "key"}}, kSettings64 = {{kSettingsKey + "{64}", "key"}};
const Entries kUtility = {{"HKLM\\SOFTWARE\\Tesmar\\TesmarUtility{32}", "key"}};

// clang-format off
const bool kAcpi = RegisterRows("Acpi", {
    {"no service installs", Win64, kFresh, "/UPDATEDRIVER", 1, {}, kInstall},
    {"no service installs", Win32, kFresh, "UPDATEDRIVER", 1, {}, {kWdreg + "install"}},
    {"older removes by INF and installs", Win64, kOlder, "-UPDATEDRIVER", 1, {}, kRemove + kInstall},
    {"older removes and installs", Win32, kOlder, "/UPDATEDRIVER", 1, {}, kWdregBoth},
    {"equal does nothing", Win64, Acpi("version 1.2.3.4", "version 1.2.3.4"), "/UPDATEDRIVER", 0},
    {"newer does nothing", Win64, Acpi("version 2.0.0.0", "version 1.9.9.9"), "/UPDATEDRIVER", 0},
    {"no installed driver", Win64, Acpi("absent", "version 1"), "/UPDATEDRIVER", 0, {}, {}, {kNoVersion + "2"}},
    {"no packaged driver", Win64, Acpi("version 1", "absent"), "/UPDATEDRIVER", 0, {}, {}, {kNoVersion + "*"}},
    {"unversioned driver", Win64, Acpi("text: x", "version 1"), "/UPDATEDRIVER", 0, {}, {}, {kNoVersion + "*"}},
    {"no INF named only installs", Win64, Acpi("version 1", "version 2", "REG_SZ AcpiQrx", "REG_SZ ACPI Device"),
     "/UPDATEDRIVER", 1, {}, kInstall},
    {"no description only installs", Win64, Acpi("version 1", "version 2", "REG_SZ AcpiQrx", "absent"),
     "/UPDATEDRIVER", 1, {}, kInstall},
    {"tool cannot start", Both, kFresh + kNoTools, "/UPDATEDRIVER", 0, {}, {}, kNoStart},
    {"removal cannot start", Both, kOlder + kNoTools, "/UPDATEDRIVER", 0, {}, {}, kNoStart},
    {"removal by settings without a tool deletes", Win64, kOlder + kNoTools, "/DELETEDRIVERBYSETTINGS", 0, kDeleted,
     {}, kNoStart},
    {"removal by settings when settings stay", Both, kOlder + kSettings, "/DELETEDRIVERBYSETTINGS", 0},
    {"removal by settings when the utility stays", Win64, kOlder + kUtility, "DELETEDRIVERBYSETTINGS", 0},
    {"removal by settings", Win64, kOlder, "-DELETEDRIVERBYSETTINGS", 0, kDeleted, kRemove},
    {"removal by settings", Win32, kOlder, "/DELETEDRIVERBYSETTINGS", 0, kDeleted, {kWdreg + "uninstall"}},
    {"removal by settings reads the 32-bit view", Win64, kOlder + kSettings64, "/DELETEDRIVERBYSETTINGS", 0,
     kDeleted, kRemove},
    {"removal by settings without an INF", Win64, Acpi("version 1.2.3.4", "absent", "REG_SZ AcpiQrx", "REG_SZ x"),
     "/DELETEDRIVERBYSETTINGS", 0, kDeleted},
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
const Entries kNoDevcon = {{"C:\\Suite\\devcon.exe", "absent"}}, kNone = Vhid("0", "absent", "absent");

// clang-format off
const bool kVhid = RegisterRows("Vhid", {
    {"none installs", Both, kNone, "/FLYDRIVER", 1, kAdded, kVhidInstall, kCounted},
    {"one older reinstalls", Both, Vhid("1", "version 1", "version 1.0.0.1"), "-flydriver", 1, {}, kVhidBoth, kCounted},
    {"one equal does nothing", Win64, Vhid("1", "version 1.2", "version 1.2"), "/flydriver", 1, {}, {}, kCounted},
    {"one newer does nothing", Win64, Vhid("1", "version 2", "version 1.9"), "-FLYDRIVER", 1, {}, {}, kCounted},
    {"one not installed", Win64, Vhid("1", "absent", "version 1"), "/FLYDRIVER", 0, {}, {}, kCounted},
    {"one not packaged", Win64, Vhid("1", "version 1", "absent"), "/FLYDRIVER", 0, {}, {}, kCounted},
    {"other machine's package", Win64, Vhid("1", "version 1", "version 2", "x86"), "/FLYDRIVER", 0, {}, {}, kCounted},
    {"other machine's package", Win32, Vhid("1", "version 1", "version 2", "x64"), "/FLYDRIVER", 0, {}, {}, kCounted},
    {"two reinstall whatever the versions", Win64, Vhid("2", "version 2", "version 1"), "/FLYDRIVER", 1,
     {"~ virtual HID devices present: 2 -> 1"}, kVhidBoth, kCounted},
    {"devcon cannot start", Win64, kNone + kNoDevcon, "/FLYDRIVER", 0, {}, {}, kCounted + kNoStart},
    {"removal cannot start", Win64, Vhid("2", "absent", "absent") + kNoDevcon, "/FLYDRIVER", 0, {}, {},
     kCounted + kNoStart},
    {"a renamed program finds devcon beside it", Win64,
     kNone + Entries{{"C:\\Suite\\Device Setup.exe", "library ..\\Instelix.exe"}},
     "!\"C:\\Suite\\Device Setup.exe\" /FLYDRIVER", 1, kAdded, kVhidInstall, kCounted},
});
// clang-format on

// A log that is a link is never written: the chore goes on as when the log folder is missing.
const std::string kLog = "D:\\DeviceControl\\em9.Log", kVictim = "C:\\Suite\\victim.cfg";
const Entries kLinkedFolder = {{"C:\\Suite\\logs", "folder"}, {"symlink D:\\DeviceControl", "C:\\Suite\\logs"}};
// clang-format off
const bool kLogLinks = RegisterRows("LogLinks", {
    {"a hard link", Both, kNone + Entries{{kVictim, "text: "}, {"link " + kLog, kVictim}}, "/FLYDRIVER", 1, kAdded,
     kVhidInstall},
    {"a symbolic link", Both, kNone + Entries{{kVictim, "text: "}, {"symlink " + kLog, kVictim}}, "/FLYDRIVER", 1,
     kAdded, kVhidInstall},
    {"a linked folder", Both, kNone + kLinkedFolder, "/FLYDRIVER", 1, kAdded, kVhidInstall},
});
// clang-format on

const std::string kService = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr";
const std::string kTarget = kSys + "\\TesmarWiFiHotspotSvr.exe", kAside = kTarget + ".Temp";
const std::string kNew = "{PF}\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe", kPath = "REG_EXPAND_SZ " + kTarget;
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

// clang-format off
const bool kHotspot = RegisterRows("Hotspot", {
    {"first install moves the executable into place and registers it", Both,
     {{kNew, "version 2"}, {"{PFO}" + kNew.substr(4), "version 3"}, {kTarget, "text: x"}},
     "-installsvr", 1, {"- " + kNew + ": version 2.0.0.0", "~ " + kTarget + ": 1 bytes -> version 2.0.0.0",
     "+ " + kService + ": key", "+ " + kService + ": ImagePath: REG_EXPAND_SZ *\\TesmarWiFiHotspotSvr.exe"},
     {"TesmarWiFiHotspotSvr.exe\t\"" + kTarget + "\" install"}},
    {"refresh ends the service and swaps an older executable", Both,
     Registered("REG_EXPAND_SZ %SystemRoot%" + kTarget.substr(10), "version 1", "version 1.0.0.1") + kRunning,
     "/INSTALLSVR", 1, {"- " + kNew + ": version 1.0.0.1", "~ " + kTarget + ": version 1.0.0.0 -> version 1.0.0.1",
     "~ " + kAside + ": 5 bytes -> version 1.0.0.0", "- running TesmarWiFiHotspotSvr.exe: 1"}},
    {"refresh takes only the version from ImagePath", Win64,
     Registered("REG_SZ C:\\Suite\\Other.exe", "absent", "version 2") + Entries{{"C:\\Suite\\Other.exe", "version 1"}},
     "/INSTALLSVR", 1, {"- " + kNew + ": version 2.0.0.0", "+ " + kTarget + ": version 2.0.0.0"}},
    {"first install without the executable", Win64, {{"{PF}\\Tesmar\\Tesmar Settings", "folder"}}, "/installsvr", 0,
     {}, {}, {kRefused + "2"}},
    {"first install of an executable that cannot start", Win64, {{kNew, "text: not a program"}}, "/INSTALLSVR", 0,
     {"- " + kNew + ": 13 bytes", "+ " + kTarget + ": 13 bytes"}, {},
     {"Debug|g_UnloadWordDropCtl  CreateProcess failed 193", kRefused + "193"}},
    {"refresh without ImagePath", Win64, Registered("absent", "version 1", "version 2"), "/INSTALLSVR", 0, {}, {},
     {"error| InstallSvr ReadRegString TesmarWiFiHotspotSvr failed:*"}},
    {"refresh with a quoted ImagePath", Win64, Registered("REG_SZ \"" + kTarget + "\"", "version 1", "version 2"),
     "/INSTALLSVR", 0, {}, {}, {kUnreadable + "*"}},
    {"refresh with arguments in ImagePath", Win64, Registered(kPath + " -service", "version 1", "version 2"),
     "/INSTALLSVR", 0, {}, {}, {kUnreadable + "*"}},
    {"refresh without the new executable", Win64, Registered(kPath, "version 1", "absent"), "/INSTALLSVR", 0, {}, {},
     {kUnreadable + "2"}},
    {"refresh of an equal executable", Win64, Registered(kPath, "version 1.2.3.4", "version 1.2.3.4"), "/INSTALLSVR",
     0, {}, {}, {kRefused + "*"}},
    {"refresh of a newer executable", Win64, Registered(kPath, "version 1.2.3.5", "version 1.2.3.4"), "/INSTALLSVR",
     0, {}, {}, {kRefused + "*"}},
    {"a failed final move puts the previous executable back", Both,
     Registered(kPath, "version 1", "version 2") + kRunning + Entries{{"held " + kNew, ""}}, "/INSTALLSVR", 0,
     {"- running TesmarWiFiHotspotSvr.exe: 1", "- " + kAside + ": 5 bytes"}, {},
     {"error| InstallSvr MyMoveFile failed:32"}},
});
// clang-format on
}  // namespace
