// The walk over the command line and the feature chores end to end: toast, settings closer, rotation, reading mode,
// usage mode.
#include "harness/rows.h"

namespace
{
const std::string kSuite = "{PF}\\Tesmar\\Tesmar Settings\\", kToast = kSuite + "PopToastProcess.exe";
const Lines kToastRun = {"PopToastProcess.exe\t\"" + kToast + "\""};
const std::string kEnable = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation{64}: Enable";
const Lines kHotkey = {"keys\t91 16", "keys\t79 16", "keys\t79 144", "keys\t91 144"};  // Win+O down, up; injected
const Entries kRotationOn = {{kEnable, "REG_DWORD 1"}, {kSettingsKey + "{64}: AutoRatation", "REG_DWORD 1"}};
const Entries kToastAndService = {{kToast, "standin"}, {kSuite + "TesmarWiFiHotspotSvr.exe", "version 1"}};

// clang-format off
const bool kWalk = RegisterRows("Walk", {
    {"the toast runs alone, its exit code ignored", Both, {{kToast, "standin"}, {"env INSTELIX_STANDIN_EXIT", "7"}},
     "/POP", 0, {}, kToastRun},
    {"a missing toast is logged", Win64, {}, "-pop", 0, {}, {}, {"Debug|g_UnloadWordDropCtl  CreateProcess failed *"}},
    {"the walk goes on to the first chore that ends it", Win64, kToastAndService, "/PHONECOMPANION -pop /INSTALLSVR", 0,
     {}, kToastRun},
    {"near misses select nothing", Win64, kRotationOn,
     "/Pop /POP:1 //POP \"/POP \" /updatedriver /phonecompanion nothing /setrotationopen", 1},
    {"a switch as the whole command line counts", Win64, kRotationOn, "!/setrotationopen /rotationreg", 1},
    {"the program path alone does nothing", Win64, kRotationOn, "", 0},
    {"closing settings goes on", Both, kToastAndService + Entries{{"running Settings.exe", "1"}},
     "/closesettings /POP /INSTALLSVR", 0, {"- running Settings.exe: 1"}, kToastRun, {}, true},
    {"one settings program ends for each switch", Win64, {{"running Settings.exe", "3"}},
     "-CLOSESETTINGS /CLOSESETTINGS", 0, {"~ running Settings.exe: 3 -> 1"}, {}, {}, true},
    {"settings programs are matched in any case", Win64, {{"running SETTINGS.EXE", "2"}}, "/closesettings", 0,
     {"~ running Settings.exe: 2 -> 1"}, {}, {}, true},
});

const bool kRotation = RegisterRows("Rotation", {
    {"close presses the hotkey when on", Both, {{kEnable, "REG_DWORD 1"}}, "/setrotationclose", 1, {}, kHotkey},
    {"close does nothing when off", Win64, {{kEnable, "REG_DWORD 0"}}, "-SETROTATIONCLOSE", 1},
    {"open presses the hotkey when off", Win64, {{kEnable, "REG_DWORD 0"}}, "/SETROTATIONOPEN", 1, {}, kHotkey},
    {"open does nothing when on", Win64, {{kEnable, "REG_DWORD 1"}}, "-setrotationopen", 1},
    {"an unreadable setting presses nothing", Both, {}, "/setrotationclose", 1},
    {"the setting is read in the 64-bit view only", Win64,
     {{"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation [32-bit view]: Enable", "REG_DWORD 1"}},
     "/setrotationclose", 1},
    {"the watch cannot start without the settings key", Win64, {}, "/rotationreg", 0},
});
// clang-format on

const std::string kFolio = "{PF}\\Tesmar\\FolioScreen\\FolioViewAPI.dll", kQmx = kSuite + "TesmarQMX.dll";
const std::string kProfile = "C:\\ProgramData\\tmspr_prof.cfg";

// The settings key in both views, and the two vendor libraries where they belong ("absent": not there).
Entries Libraries(const std::string& folio = "library standin.dll", const std::string& qmx = "library standin.dll")
{
    return {{kSettingsKey + "{64}", "key"}, {kSettingsKey + "{32}", "key"}, {kFolio, folio}, {kQmx, qmx}};
}

Lines Folio(Lines calls)
{
    for (std::string& call : calls)
        call = "FolioViewAPI.dll\t" + call;
    return calls;
}

// One usage-mode occurrence that sets `mode` ("" for none), with the library loaded and released.
Lines Qmx(const std::string& mode)
{
    return mode.empty() ? Lines{"TesmarQMX.dll\tload", "TesmarQMX.dll\tfree"}
                        : Lines{"TesmarQMX.dll\tload", "TesmarQMX.dll\tSetQmxMode " + mode, "TesmarQMX.dll\tfree"};
}

std::string Profile(const std::string& mode)
{
    return "+ " + kProfile + ": text: [ConfigParam]|InitWait=" + mode + "|";
}

// A mirror value of the 64-bit view written as `value`, where it was stored as the four bytes `was` or was absent.
std::string Mirror(const std::string& value, const std::string& was = "", const std::string& name = "StartStatus1")
{
    const std::string before = was.empty() ? "+ " : "~ ", bytes = was.size() == 2 ? was + " 00 00 00" : was;
    return before + kSettingsKey + "{64}: " + name + ": " + (was.empty() ? "" : "type 3, bytes: " + bytes + " -> ") +
           "REG_DWORD " + value;
}

const Lines kOn = Folio({"load", "SetFolioViewStatus 1"}), kGet = Folio({"load", "GetFolioViewStatus"});
const Lines kLoad = Folio({"load"});
const Entries kNoFolio = Libraries("absent"), kNoSet = Libraries("library standin-noSetFolioViewStatus.dll");
const Entries kOtherRoot = kNoFolio + Entries{{"{PFO}\\Tesmar\\FolioScreen\\FolioViewAPI.dll", "library standin.dll"}};

// A mirror value stored as four bytes of another type (so that a rewrite shows), or none, and the library's answer.
Entries Stored(const char* was, const char* status, const char* name = "StartStatus1", const char* support = "1")
{
    const std::string bytes =
        was == nullptr ? "absent" : "type 3, bytes: " + std::string(was) + (was[2] ? "" : " 00 00 00");
    return Libraries() + Entries{{kSettingsKey + "{64}: " + name, bytes},
                                 {"env INSTELIX_FOLIO_STATUS", status},
                                 {"env INSTELIX_FOLIO_SUPPORT", support}};
}

// Each reading switch is followed by a usage-mode switch, which shows whether the walk went on.
// clang-format off
const bool kReading = RegisterRows("Reading", {
    {"on switches and mirrors", Both, Libraries(), "/fviewon /qmxmv", 0, {Mirror("1"), Profile("1")}, kOn + Qmx("1")},
    {"on after the shell", Win64, Libraries(), "-FVIEWWAIT /qmxmv", 0, {Mirror("1"), Profile("1")}, kOn + Qmx("1")},
    {"off switches and mirrors nothing", Both, Libraries(), "/FVIEWOFF /qmxmv", 0, {Profile("1")},
     Folio({"load", "SetFolioViewStatus 0"}) + Qmx("1")},
    {"the library is loaded once and kept", Win64, Libraries(), "/fviewon -fviewoff /qmxmv", 0,
     {Mirror("1"), Profile("1")}, kOn + Folio({"SetFolioViewStatus 0"}) + Qmx("1")},
    {"on without the library ends the walk", Win64, kNoFolio, "/fviewon /qmxmv", 0},
    {"status without the library ends the walk", Win64, kNoFolio, "/fviewget /qmxmv", 0},
    {"support without the library ends the walk", Win64, kNoFolio, "/issupportfview /qmxmv", 0},
    {"the other Program Files folder is never tried", Both, kOtherRoot, "/fviewoff /qmxmv", 0},
    {"on without its export ends the walk", Win64, kNoSet, "/fviewon /qmxmv", 0, {}, kLoad},
    {"on after the shell without its export", Win64, kNoSet, "/fviewwait /qmxmv", 0, {}, kLoad},
    {"off without its export ends the walk", Win64, kNoSet, "/fviewoff /qmxmv", 0, {}, kLoad},
    {"status without its export ends the walk", Win64, Libraries("library standin-noGetFolioViewStatus.dll"),
     "/fviewget /qmxmv", 0, {}, kLoad},
    {"support without its export ends the walk", Win64, Libraries("library standin-noIsSupportFolioView.dll"),
     "/issupportfview /qmxmv", 0, {}, kLoad},
    {"status on, none stored: nothing written", Win64, Stored(nullptr, "1"), "/fviewget", 0, {}, kGet},
    {"status off, none stored: written", Both, Stored(nullptr, "0"), "-FVIEWGET", 0, {Mirror("0")}, kGet},
    {"status equal to the stored one", Win64, Stored("01", "1"), "/FVIEWGET", 0, {}, kGet},
    {"status off unlike the stored one", Win64, Stored("01", "0"), "/fviewget", 0, {Mirror("0", "01")}, kGet},
    {"status on unlike the stored one", Win64, Stored("00", "1"), "/fviewget", 0, {Mirror("1", "00")}, kGet},
    {"status is written in full", Win64, Stored("03", "4294967295"), "/fviewget", 0, {Mirror("4294967295", "03")},
     kGet},
    {"support is written in full every time", Both, Stored("78 56 34 12", "0", "IsSupport1", "305419896"),
     "-ISSUPPORTFVIEW /issupportfview", 0, {Mirror("305419896", "78 56 34 12", "IsSupport1")},
     Folio({"load", "IsSupportFolioView", "IsSupportFolioView"})},
});

const Entries kQmxOnly = Libraries("absent"), kNoLibraries = Libraries("absent", "absent");
const Entries kVictim = kQmxOnly + Entries{{"C:\\Suite\\victim.cfg", "text: [Other]\r\n"}};
const std::string kSection = "[ConfigParam]|First=a|InitWait=", kRest = "|Last=z|[Other]|Key=Value|";
const bool kUsage = RegisterRows("Usage", {
    {"each mode word sets its mode", Both, kQmxOnly, "/qmxmv -qmxmu /QMXNOR -QMXPH", 0, {Profile("2")},
     Qmx("1") + Qmx("3") + Qmx("0") + Qmx("2")},
    {"the switch counts anywhere inside an element", Win64, kQmxOnly, "mu-qmxnor", 0, {Profile("0")}, Qmx("0")},
    {"no mode word sets nothing", Win64, kQmxOnly, "/qmx", 0, {}, Qmx("")},
    {"mixed case is no switch", Win64, kQmxOnly, "/Qmxmv", 0},
    {"the last mode written stays", Win64, kQmxOnly, "/qmxmu /qmx", 0, {Profile("3")}, Qmx("3") + Qmx("")},
    {"without the library the mode is still recorded", Win64, kNoLibraries, "/qmxph /PHONECOMPANION", 0,
     {Profile("2")}},
    {"the other Program Files folder is never tried", Both,
     kNoLibraries + Entries{{"{PFO}\\Tesmar\\Tesmar Settings\\TesmarQMX.dll", "library standin.dll"}}, "/qmxph", 0,
     {Profile("2")}},
    {"SetQmxMode only after CheckLibraryReadyNow", Win64,
     Libraries("absent", "library standin-noCheckLibraryReadyNow.dll"), "/qmxph", 0, {Profile("2")}, Qmx("")},
    {"SetQmxMode without GetCurrentUsageMode", Win64, Libraries("absent", "library standin-noGetCurrentUsageMode.dll"),
     "/qmxph", 0, {Profile("2")}, Qmx("2")},
    {"no SetQmxMode, no call", Win64, Libraries("absent", "library standin-noSetQmxMode.dll"), "/qmxph", 0,
     {Profile("2")}, Qmx("")},
    {"the rest of the profile is kept", Win64, kQmxOnly + Entries{{kProfile, "text: [Window]\r\nInitWait=7\r\n"
     "[ConfigParam]\r\nFirst=a\r\nInitWait=3\r\nLast=z\r\n[Other]\r\nKey=Value\r\n"}}, "/qmxnor", 0,
     {"~ " + kProfile + ": text: [Window]|InitWait=7|" + kSection + "3" + kRest + " -> text: [Window]|InitWait=7|" +
      kSection + "0" + kRest}, Qmx("0")},
    {"a hard-linked profile is not written", Both, kVictim + Entries{{"link " + kProfile, "C:\\Suite\\victim.cfg"}},
     "/qmxph", 0, {}, Qmx("2")},
    {"a symbolic link as profile is not written", Both, kVictim + Entries{{"symlink " + kProfile,
     "C:\\Suite\\victim.cfg"}}, "/qmxph", 0, {}, Qmx("2")},
    {"wait pauses ten seconds after the shell", Win64, kQmxOnly, "/QMXWAITMU", 0, {Profile("3")}, Qmx("3")},
});

const bool kSearch = RegisterRows("LibrarySearch", {
    {"a vendor library finds its neighbour but nothing planted", Win64, Libraries("library standin-withhelper.dll",
     "absent") + Entries{{"{PF}\\Tesmar\\FolioScreen\\VendorHelper.dll", "library VendorHelper.dll"},
     {"C:\\Suite\\user\\PlantedCwd.dll", "library VendorHelper.dll"}, {"C:\\Suite\\path\\PlantedPath.dll",
     "library VendorHelper.dll"}, {"cwd", "C:\\Suite\\user"}, {"env PATH", "C:\\Suite\\path;%PATH%"}},
     "/fviewon", 0, {Mirror("1")}, Lines{"VendorHelper.dll\tload"} + kOn},
});
// clang-format on
}  // namespace

// The watch seeds the wanted state from the system, applies nothing at its start, and after every change of any
// value under the settings key presses the hotkey when the system differs from the wanted state.
TEST(Rotation, WatchAppliesEveryChange)
{
    machine::Reset();
    auto set = [](const std::string& name, const char* value) {
        ASSERT_TRUE(machine::Apply(Expand(name), value, L""));
    };
    const std::string wanted = Expand(kSettingsKey + "{64}: AutoRatation"), sub = kSettingsKey + "\\Sub{64}: Other";
    set(kSettingsKey + "{64}", "key");
    HANDLE watch = Start(L"\"" + kProgram + L"\" /rotationreg");
    Sleep(1000);
    EXPECT_EQ(machine::TakeSnapshot().count(wanted), 0u) << "seeded from nothing";  // neither state can be read
    TerminateProcess(watch, 0xDEAD), CloseHandle(watch);
    set(kEnable, "REG_DWORD 1");
    ClearJournal();
    watch = Start(L"\"" + kProgram + L"\" /rotationreg");
    for (int waited = 0; waited < 5000 && machine::TakeSnapshot()[wanted].empty(); waited += 50)
        Sleep(50);
    EXPECT_EQ(machine::TakeSnapshot()[wanted], "REG_DWORD 1");
    // The hotkey is pressed when the wanted state differs from the system's, after a change of any value below.
    for (const auto& step : {std::make_pair(kSettingsKey + "{64}: AutoRatation", "REG_DWORD 0"),
                             {kEnable, "REG_DWORD 0"},
                             {sub, "REG_DWORD 6"},
                             {kEnable, "REG_DWORD 1"},
                             {sub, "REG_DWORD 7"},
                             {kSettingsKey + "{64}: AutoRatation", "REG_DWORD 2"}})
        set(step.first, step.second), Sleep(300);
    EXPECT_EQ(JournalLines(12), kHotkey + kHotkey + kHotkey);
    EXPECT_EQ(WaitForSingleObject(watch, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the watch ended";
    TerminateProcess(watch, 0xDEAD), CloseHandle(watch);
}
