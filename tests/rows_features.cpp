// The walk over the command line and the feature chores end to end: toast, settings closer, rotation, reading mode,
// usage mode.
#include "harness/rows.h"

namespace
{
const std::string kToast = "{PF}\\Tesmar\\Tesmar Settings\\PopToastProcess.exe";
const Lines kToastRun = {"PopToastProcess.exe\t\"" + kToast + "\""};
const std::string kEnable = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation{64}: Enable";
const Lines kHotkey = {"keys\t91 16", "keys\t79 16", "keys\t79 144", "keys\t91 144"};  // Win+O down, up; injected
const Entries kRotationOn = {{kEnable, "REG_DWORD 1"}, {kSettingsKey + "{64}: AutoRatation", "REG_DWORD 1"}};

// clang-format off
const bool kWalk = RegisterRows("Walk", {
    {"the toast runs alone and its exit code is ignored", Both, {{kToast, "standin"}, {"env INSTELIX_STANDIN_EXIT", "7"}},
     "/POP", 0, {}, kToastRun},
    {"a missing toast is logged", Win64, {}, "-pop", 0, {}, {}, {"Debug|g_UnloadWordDropCtl  CreateProcess failed *"}},
    {"the walk goes on to the first chore that ends it", Win64,
     {{kToast, "standin"}, {"{PF}\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe", "version 1"}},
     "/PHONECOMPANION -pop /INSTALLSVR", 0, {}, kToastRun},
    {"near misses select nothing", Win64, kRotationOn,
     "/Pop /POP:1 //POP \"/POP \" /updatedriver /phonecompanion nothing /setrotationopen", 1},
    {"a switch as the whole command line counts", Win64, kRotationOn, "!/setrotationopen /rotationreg", 1},
    {"the program path alone does nothing", Win64, kRotationOn, "", 0},
    {"closing settings goes on to the toast", Both,
     {{kToast, "standin"}, {"running Settings.exe", "1"}, {"{PF}\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe",
                                                            "version 1"}},
     "/closesettings /POP /INSTALLSVR", 0, {"- running Settings.exe: 1"}, kToastRun, {}, true},
    {"one settings program ends for each switch", Win64, {{"running Settings.exe", "3"}},
     "-CLOSESETTINGS /CLOSESETTINGS", 0, {"~ running Settings.exe: 3 -> 1"}, {}, {}, true},
    {"settings programs are matched in any case", Win64, {{"running SETTINGS.EXE", "2"}}, "/closesettings", 0,
     {"~ running Settings.exe: 2 -> 1"}, {}, {}, true},
});
// clang-format on

// clang-format off
const bool kRotation = RegisterRows("Rotation", {
    {"close presses the hotkey when rotation is on", Both, {{kEnable, "REG_DWORD 1"}}, "/setrotationclose", 1, {},
     kHotkey},
    {"close does nothing when rotation is off", Win64, {{kEnable, "REG_DWORD 0"}}, "-SETROTATIONCLOSE", 1},
    {"open presses the hotkey when rotation is off", Win64, {{kEnable, "REG_DWORD 0"}}, "/SETROTATIONOPEN", 1, {},
     kHotkey},
    {"open does nothing when rotation is on", Win64, {{kEnable, "REG_DWORD 1"}}, "-setrotationopen", 1},
    {"an unreadable setting presses nothing", Both, {}, "/setrotationclose", 1},
    {"the setting is read in the 64-bit view only", Win64,
     {{"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation [32-bit view]: Enable", "REG_DWORD 1"}},
     "/setrotationclose", 1},
    {"the watch cannot start without the settings key", Win64, {}, "/rotationreg", 0},
});
// clang-format on

const std::string kFolio = "{PF}\\Tesmar\\FolioScreen\\FolioViewAPI.dll";
const std::string kQmx = "{PF}\\Tesmar\\Tesmar Settings\\TesmarQMX.dll";
const std::string kProfile = "C:\\ProgramData\\tmspr_prof.cfg";

// The settings key in both views, and the two vendor libraries where they belong ("absent": not there).
Entries Libraries(const std::string& folio = "library standin.dll", const std::string& qmx = "library standin.dll")
{
    return {{kSettingsKey + "{64}", "key"}, {kSettingsKey + "{32}", "key"}, {kFolio, folio}, {kQmx, qmx}};
}

Lines Folio(const Lines& calls)
{
    Lines lines;
    for (const std::string& call : calls)
        lines.push_back("FolioViewAPI.dll\t" + call);
    return lines;
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

// A mirror value written in the 64-bit view, where it was stored as the four bytes `was` (hex) or was absent.
std::string Mirror(const std::string& value, const std::string& was = "", const std::string& name = "StartStatus1")
{
    const std::string before =
        was.size() == 2 ? "type 3, bytes: " + was + " 00 00 00 -> " : "type 3, bytes: " + was + " -> ";
    return (was.empty() ? "+ " : "~ ") + kSettingsKey + "{64}: " + name + ": " + (was.empty() ? "" : before) +
           "REG_DWORD " + value;
}

const Lines kOn = Folio({"load", "SetFolioViewStatus 1"});
const Entries kNoFolio = Libraries("absent");
const Entries kOtherRoot = kNoFolio + Entries{{"{PFO}\\Tesmar\\FolioScreen\\FolioViewAPI.dll", "library standin.dll"}};
const std::string kNoSet = "library standin-noSetFolioViewStatus.dll";

// A mirror value stored as four bytes of another type (so that a rewrite shows), or none, and the library's answer.
Entries Stored(const char* was, const char* status, const char* name = "StartStatus1", const char* support = "1")
{
    const std::string bytes =
        was == nullptr ? "absent" : std::string("type 3, bytes: ") + was + (was[2] ? "" : " 00 00 00");
    return Libraries() + Entries{{kSettingsKey + "{64}: " + name, bytes},
                                 {"env INSTELIX_FOLIO_STATUS", status},
                                 {"env INSTELIX_FOLIO_SUPPORT", support}};
}

// Each reading switch is followed by a usage-mode switch, which shows whether the walk went on.
const Lines kGet = Folio({"load", "GetFolioViewStatus"}), kLoad = Folio({"load"});
// clang-format off
const bool kReading = RegisterRows("Reading", {
    {"on switches the library and mirrors the state", Both, Libraries(), "/fviewon /qmxmv", 0,
     {Mirror("1"), Profile("1")}, kOn + Qmx("1")},
    {"on after the shell switches once the shell runs", Win64, Libraries(), "-FVIEWWAIT /qmxmv", 0,
     {Mirror("1"), Profile("1")}, kOn + Qmx("1")},
    {"off switches the library and mirrors nothing", Both, Libraries(), "/FVIEWOFF /qmxmv", 0, {Profile("1")},
     Folio({"load", "SetFolioViewStatus 0"}) + Qmx("1")},
    {"the library is loaded once and kept", Win64, Libraries(), "/fviewon -fviewoff /qmxmv", 0,
     {Mirror("1"), Profile("1")}, kOn + Folio({"SetFolioViewStatus 0"}) + Qmx("1")},
    {"on without the library ends the walk", Win64, kNoFolio, "/fviewon /qmxmv", 0},
    {"status without the library ends the walk", Win64, kNoFolio, "/fviewget /qmxmv", 0},
    {"support without the library ends the walk", Win64, kNoFolio, "/issupportfview /qmxmv", 0},
    {"the other Program Files folder is never tried", Both, kOtherRoot, "/fviewoff /qmxmv", 0},
    {"on without its export ends the walk", Win64, Libraries(kNoSet), "/fviewon /qmxmv", 0, {}, kLoad},
    {"on after the shell without its export ends the walk", Win64, Libraries(kNoSet), "/fviewwait /qmxmv", 0, {}, kLoad},
    {"off without its export ends the walk", Win64, Libraries(kNoSet), "/fviewoff /qmxmv", 0, {}, kLoad},
    {"status without its export ends the walk", Win64, Libraries("library standin-noGetFolioViewStatus.dll"),
     "/fviewget /qmxmv", 0, {}, kLoad},
    {"support without its export ends the walk", Win64, Libraries("library standin-noIsSupportFolioView.dll"),
     "/issupportfview /qmxmv", 0, {}, kLoad},
    {"status on with no stored state writes nothing", Win64, Stored(nullptr, "1"), "/fviewget", 0, {}, kGet},
    {"status off with no stored state writes it", Both, Stored(nullptr, "0"), "-FVIEWGET", 0, {Mirror("0")}, kGet},
    {"status equal to the stored one writes nothing", Win64, Stored("01", "1"), "/FVIEWGET", 0, {}, kGet},
    {"status unlike the stored one is written", Win64, Stored("01", "0"), "/fviewget", 0, {Mirror("0", "01")}, kGet},
    {"status on unlike the stored one is written", Win64, Stored("00", "1"), "/fviewget", 0, {Mirror("1", "00")}, kGet},
    {"status is written in full", Win64, Stored("03", "4294967295"), "/fviewget", 0, {Mirror("4294967295", "03")}, kGet},
    {"support is written in full every time", Both, Stored("78 56 34 12", "0", "IsSupport1", "305419896"),
     "-ISSUPPORTFVIEW /issupportfview", 0, {Mirror("305419896", "78 56 34 12", "IsSupport1")},
     Folio({"load", "IsSupportFolioView", "IsSupportFolioView"})},
});
// clang-format on

const Entries kQmxOnly = Libraries("absent");

// clang-format off
const bool kUsage = RegisterRows("Usage", {
    {"each mode word sets its mode", Both, kQmxOnly, "/qmxmv -qmxmu /QMXNOR -QMXPH", 0, {Profile("2")},
     Qmx("1") + Qmx("3") + Qmx("0") + Qmx("2")},
    {"the switch counts anywhere inside an element", Win64, kQmxOnly, "mu-qmxnor", 0, {Profile("0")}, Qmx("0")},
    {"no mode word sets nothing", Win64, kQmxOnly, "/qmx", 0, {}, Qmx("")},
    {"mixed case is no switch", Win64, kQmxOnly, "/Qmxmv", 0},
    {"the last mode written stays", Win64, kQmxOnly, "/qmxmu /qmx", 0, {Profile("3")}, Qmx("3") + Qmx("")},
    {"without the library the mode is still recorded", Win64, Libraries("absent", "absent"), "/qmxph /PHONECOMPANION",
     0, {Profile("2")}},
    {"the other Program Files folder is never tried", Both,
     Libraries("absent", "absent") + Entries{{"{PFO}\\Tesmar\\Tesmar Settings\\TesmarQMX.dll", "library standin.dll"}},
     "/qmxph", 0, {Profile("2")}},
    {"SetQmxMode is looked up only after CheckLibraryReadyNow", Win64,
     Libraries("absent", "library standin-noCheckLibraryReadyNow.dll"), "/qmxph", 0, {Profile("2")}, Qmx("")},
    {"SetQmxMode is called without GetCurrentUsageMode", Win64,
     Libraries("absent", "library standin-noGetCurrentUsageMode.dll"), "/qmxph", 0, {Profile("2")}, Qmx("2")},
    {"a library without SetQmxMode is not called", Win64, Libraries("absent", "library standin-noSetQmxMode.dll"),
     "/qmxph", 0, {Profile("2")}, Qmx("")},
    {"the rest of the profile is kept", Win64,
     kQmxOnly + Entries{{kProfile, "text: ; kept\r\n[Window]\r\nInitWait=7\r\n[ConfigParam]\r\nFirst=a\r\nInitWait=3\r\n"
                                   "Last=z\r\n[Other]\r\nKey=Value\r\n"}},
     "/qmxnor", 0,
     {"~ " + kProfile + ": text: ; kept|[Window]|InitWait=7|[ConfigParam]|First=a|InitWait=3|Last=z|[Other]|Key=Value|"
                        " -> text: ; kept|[Window]|InitWait=7|[ConfigParam]|First=a|InitWait=0|Last=z|[Other]|Key=Value|"},
     Qmx("0")},
    {"wait pauses ten seconds after the shell", Win64, kQmxOnly, "/QMXWAITMU", 0, {Profile("3")}, Qmx("3")},
});
// clang-format on

// clang-format off
const bool kSearch = RegisterRows("LibrarySearch", {
    {"a vendor library finds its neighbour but nothing planted", Win64,
     Libraries("library standin-withhelper.dll", "absent") +
         Entries{{"{PF}\\Tesmar\\FolioScreen\\VendorHelper.dll", "library VendorHelper.dll"},
                 {"C:\\Suite\\user\\PlantedCwd.dll", "library VendorHelper.dll"},
                 {"C:\\Suite\\path\\PlantedPath.dll", "library VendorHelper.dll"}, {"cwd", "C:\\Suite\\user"},
                 {"env PATH", "C:\\Suite\\path;%PATH%"}},
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
    auto keysAfter = [](size_t count) {
        for (int waited = 0; waited < 5000 && JournalLines().size() < count; waited += 50)
            Sleep(50);
        return Sleep(300), JournalLines();
    };
    const std::string settings = kSettingsKey + "{64}: ";
    const std::wstring line = L"\"" + Program() + L"\" /rotationreg";
    // Neither the wanted nor the system's state can be read: nothing is seeded.
    set(kSettingsKey + "{64}", "key");
    HANDLE watch = Start(line);
    Sleep(1000);
    EXPECT_EQ(machine::TakeSnapshot().count(Expand(settings + "AutoRatation")), 0u);
    TerminateProcess(watch, 0xDEAD), CloseHandle(watch);
    set(kEnable, "REG_DWORD 1");
    ClearJournal();
    watch = Start(line);
    for (int waited = 0; waited < 5000 && machine::TakeSnapshot()[Expand(settings + "AutoRatation")].empty();
         waited += 50)
        Sleep(50);
    EXPECT_EQ(machine::TakeSnapshot()[Expand(settings + "AutoRatation")], "REG_DWORD 1");
    EXPECT_EQ(keysAfter(0), Lines());
    set(settings + "AutoRatation", "REG_DWORD 0");
    EXPECT_EQ(keysAfter(4), kHotkey);
    set(kEnable, "REG_DWORD 0");
    set(kSettingsKey + "\\Sub{64}: Unrelated", "REG_DWORD 6");  // a change below the key wakes the watch too
    EXPECT_EQ(keysAfter(4), kHotkey) << "the system already agrees";
    set(kEnable, "REG_DWORD 1");
    set(kSettingsKey + "\\Sub{64}: Unrelated", "REG_DWORD 7");
    EXPECT_EQ(keysAfter(8), kHotkey + kHotkey) << "a change below the key";
    set(settings + "AutoRatation", "REG_DWORD 2");  // never equal to the system's state
    EXPECT_EQ(keysAfter(12), kHotkey + kHotkey + kHotkey);
    EXPECT_EQ(WaitForSingleObject(watch, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the watch ended";
    TerminateProcess(watch, 0xDEAD), CloseHandle(watch);
}
