// The sandbox tool, run inside a stand-in machine:
//   sandbox install               resets the machine to one with the suite installed (stand-ins at their paths)
//   sandbox run ITEMS [SWITCH...] applies the items of the file ITEMS (one a line), runs C:\Suite\Instelix.exe with
//                                 the switches as given, and reports what the run did
//   sandbox check FILE NAME [--after N]
//                                 runs every case of the case file FILE (called NAME in messages) meant for this
//                                 machine; with --after, only those after its Nth, which a runner had to end (it is
//                                 reported as failed)
//   sandbox snapshot FILE         writes a picture of what Instelix may touch
//   sandbox stop                  ends the program of a waiting "run"
//   sandbox keys                  journals the keys a low-level hook sees, and plays the shell's answer to
//                                 Windows key + O, until this machine's owner goes
// Input that cannot be read gets one line on the error output and exit code 2, with nothing run or changed.
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>
#include <utility>

#include "cases.h"
#include "engine.h"
#include "standin.h"

namespace
{
const wchar_t kStopEvent[] = L"instelix-sandbox-stop";

bool Install()
{
    machine::Reset();
    const std::string settings = machine::ProgramFiles() + "\\Tesmar\\Tesmar Settings\\";
    const std::string tuner = "C:\\Program Files\\Tesmar\\Orvane Tuner\\bin\\";
    const std::string view32 = machine::IsWin64() ? " [32-bit view]" : "";
    const std::string view64 = machine::IsWin64() ? " [64-bit view]" : "";
    const std::pair<std::string, std::string> entries[] = {
        {settings + "PopToastProcess.exe", "standin"},
        {settings + "TesmarQMX.dll", "library standin.dll"},
        {machine::ProgramFiles() + "\\Tesmar\\FolioScreen\\FolioViewAPI.dll", "library standin.dll"},
        // The hotspot service, registered with an older executable than the one the suite brings.
        {settings + "TesmarWiFiHotspotSvr.exe", "version 2.0.0.0"},
        {"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe", "version 1.0.0.0"},
        {"HKLM\\SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr: ImagePath",
         "REG_EXPAND_SZ C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe"},
        // The ACPI driver, installed from an INF that Windows renamed and older than its package.
        {tuner + "DPInst.exe", "standin"},
        {tuner + "wdreg.exe", "standin"},
        {tuner + "AcpiQrx.inf", "text: [Version]\r\nSignature=\"$WINDOWS NT$\"\r\n"},
        {tuner + "AcpiQrx.sys", "version 2.0.0.0"},
        {"C:\\Windows\\System32\\drivers\\AcpiQrx.sys", "version 1.0.0.0"},
        {"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004\\0: Service", "REG_SZ AcpiQrx"},
        {"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004\\0: DeviceDesc",
         "REG_SZ @oem12.inf,%AcpiQrx.DeviceDesc%;ACPI control"},
        // The virtual HID package beside the program, newer than the installed driver.
        {"C:\\Suite\\devcon.exe", "standin"},
        {"C:\\Suite\\x64\\WUDFVhidmini.Inf", "text: [Version]\r\nClass=HIDClass\r\n"},
        {"C:\\Suite\\x86\\WUDFVhidmini.Inf", "text: [Version]\r\nClass=HIDClass\r\n"},
        {"C:\\Suite\\x64\\TesmarVhid.dll", "version 2.0.0.0"},
        {"C:\\Suite\\x86\\TesmarVhid.dll", "version 2.0.0.0"},
        {"C:\\Windows\\System32\\drivers\\UMDF\\TesmarVhid.dll", "version 1.0.0.0"},
        // The settings application is installed (where a 32-bit installer writes) and rotation is on.
        {"HKLM\\SOFTWARE\\Tesmar\\Tesmar Settings" + view32 + ": Version", "REG_SZ 1.0"},
        {"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation" + view64 + ": Enable", "REG_DWORD 1"},
        {"D:\\DeviceControl", "folder"},
    };
    bool all = true;
    for (const auto& entry : entries)
    {
        const bool applied = machine::Apply(entry.first, entry.second, sandbox::Standins());
        all = all && applied;
    }
    return all;
}

// The command line's text after its first `skip` elements, as the caller quoted it.
std::wstring CommandLineAfter(int skip)
{
    const wchar_t* at = GetCommandLineW();
    for (int element = 0; element < skip; ++element)
    {
        while (*at == L' ' || *at == L'\t')
            ++at;
        bool quoted = false;
        while (*at != 0 && (quoted || (*at != L' ' && *at != L'\t')))
        {
            if (*at == L'"')
                quoted = !quoted;
            ++at;
        }
    }
    while (*at == L' ' || *at == L'\t')
        ++at;
    return at;
}

std::wstring Argument(int index)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring value;
    if (arguments != nullptr && index < count)
        value = arguments[index];
    LocalFree(arguments);
    return value;
}

void Print(const std::string& text)
{
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

void PrintList(const std::string& heading, const sandbox::Lines& lines)
{
    Print("\n== " + heading + "\n");
    if (lines.empty())
        Print("  none\n");
    for (const std::string& line : lines)
        Print("  " + line + "\n");
}

void PrintProgress(int seconds)
{
    Print("  ... still running after " + std::to_string(seconds) + " s (Ctrl-C stops it and prints the report)\n");
}

// What the exit code means for the first switch of `arguments` that ends the walk with a known meaning.
std::string Meaning(const std::wstring& arguments)
{
    static const std::pair<const wchar_t*, const char*> kMeanings[] = {
        {L"POP", "/POP: always 0"},
        {L"UPDATEDRIVER", "/UPDATEDRIVER: 1 = every tool run could be started, 0 = nothing needed or a failure"},
        {L"DELETEDRIVERBYSETTINGS", "/DELETEDRIVERBYSETTINGS: always 0"},
        {L"FLYDRIVER", "/FLYDRIVER: 1 = installed or current, 0 = a failure"},
        {L"INSTALLSVR", "/INSTALLSVR: 1 = executable placed, 0 = a failure (see the log)"},
        {L"SETROTATIONOPEN", "/setrotationopen: 1 = done, 0 = Ctrl, Shift or Alt held"},
        {L"SETROTATIONCLOSE", "/setrotationclose: 1 = done, 0 = Ctrl, Shift or Alt held"},
        {L"ROTATIONREG", "/rotationreg: 1 = the watch stopped, 0 = the settings key cannot be opened"},
    };
    int count = 0;
    wchar_t** elements = CommandLineToArgvW((L"x " + arguments).c_str(), &count);
    std::string meaning;
    for (int index = 1; elements != nullptr && index < count && meaning.empty(); ++index)
    {
        std::wstring word = elements[index];
        if (!word.empty() && (word[0] == L'/' || word[0] == L'-'))
            word.erase(0, 1);
        CharUpperW(&word[0]);
        for (const auto& [form, text] : kMeanings)
        {
            if (word == form)
                meaning = text;
        }
    }
    LocalFree(elements);
    return meaning;
}

void PrintExitCode(const sandbox::Outcome& outcome, const std::wstring& arguments)
{
    Print("\n== Exit code\n");
    if (outcome.stopped)
    {
        Print("(stopped; no exit code)\n");
        return;
    }
    const std::string meaning = Meaning(arguments);
    Print(std::to_string(outcome.exitCode) + (meaning.empty() ? "" : "  (" + meaning + ")") + "\n");
    if (meaning.empty() && outcome.exitCode == 0)
        Print("  (no chore ended the walk, or a reading-mode library was unavailable)\n");
}

int RunOnce(const std::wstring& itemFile)
{
    std::vector<sandbox::Item> items;
    for (const std::string& line : sandbox::Split(machine::ReadBytes(itemFile), "\n"))
    {
        sandbox::Item item;
        std::string error;
        if (!sandbox::ParseItem(sandbox::ExpandMachineTokens(line), item, error))
        {
            fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
        items.push_back(item);
    }
    const std::wstring arguments = CommandLineAfter(3);
    const std::wstring program = sandbox::ProgramUnderTest();
    machine::MakeDirs(L"C:\\Suite");
    CopyFileW(program.c_str(), sandbox::kProgramPath, FALSE);
    const sandbox::Desktop desktop;
    sandbox::Arrangement arrangement;
    for (const sandbox::Item& item : items)
    {
        std::string error;
        if (!arrangement.Apply(item, error))
        {
            fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
    }
    const std::string machineName = machine::IsWin64() ? "64-bit" : "32-bit";
    Print("Running " + machine::Narrow(sandbox::kProgramPath) + " " + machine::Narrow(arguments) + " on " +
          machineName + " Windows\n");
    if (!items.empty())
    {
        sandbox::Lines applied;
        for (const sandbox::Item& item : items)
            applied.push_back(item.text);
        PrintList("Arranged before the run", applied);
    }
    HANDLE stop = CreateEventW(nullptr, FALSE, FALSE, kStopEvent);
    sandbox::Waiting waiting;
    waiting.stop = stop;
    waiting.progress = PrintProgress;
    const sandbox::Run run(sandbox::CaseCommandLine(machine::Narrow(arguments)), arrangement, waiting);
    CloseHandle(stop);
    if (arrangement.StartedPrograms())
        Sleep(500);  // an ended process can still be listed for a moment after the program has gone
    const sandbox::Outcome outcome = run.Observe();
    PrintExitCode(outcome, arguments);
    PrintList("Programs started and library calls (in order)", outcome.journal);
    PrintList("Registry, files and devices changed (+ added, - removed, ~ changed)", outcome.changes);
    sandbox::Lines log = outcome.log;
    if (!outcome.logFault.empty())
        log.push_back("(" + outcome.logFault + ")");
    PrintList("New entries in D:\\DeviceControl\\em9.Log", log);
    return 0;
}

// The N of "--after N" in `after`, 0 without the option. False when N does not number one of `count` cases.
bool ReadAfter(const std::wstring& option, const std::wstring& number, size_t count, size_t& after)
{
    after = 0;
    if (option.empty())
        return true;
    if (option != L"--after" || !sandbox::IsDecimal(machine::Narrow(number), 0xFFFF))
        return false;
    after = std::stoul(number);
    return after >= 1 && after <= count;
}

int Check(const std::wstring& file, const std::string& name, const std::wstring& option, const std::wstring& number)
{
    std::vector<sandbox::Case> cases;
    std::string error;
    bool read = false;
    size_t after = 0;
    size_t elsewhere = 0;
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
        error = name + ": no such file";
    else
        read = sandbox::ReadCases(machine::ReadBytes(file), name, cases, elsewhere, error);
    if (read && !ReadAfter(option, number, cases.size(), after))
    {
        read = false;
        error = "--after takes the number of one of the file's " + std::to_string(cases.size()) + " cases here";
    }
    if (!read)
    {
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    int passed = 0;
    int failed = 0;
    int skippedCases = 0;
    if (after > 0)
    {
        const sandbox::Case& ended = cases[after - 1];
        Print("FAILED  " + ended.title + " (" + ended.where + ")\n  did not finish; the runner ended it\n");
        ++failed;
        cases.erase(cases.begin(), cases.begin() + static_cast<std::ptrdiff_t>(after));
    }
    const sandbox::Desktop desktop;
    for (const sandbox::Case& check : cases)
    {
        bool skipped = false;
        const std::string differences = sandbox::CheckCase(check, desktop, skipped);
        if (skipped)
        {
            Print("skipped " + check.title + " (" + check.where + "): this machine cannot list another process's " +
                  "modules\n");
            ++skippedCases;
        }
        else if (differences.empty())
        {
            Print("ok      " + check.title + "\n");
            ++passed;
        }
        else
        {
            Print("FAILED  " + check.title + " (" + check.where + ")\n" + differences);
            ++failed;
        }
    }
    if (elsewhere > 0)
        Print(std::string("cases for ") + (machine::IsWin64() ? "32" : "64") +
              "-bit Windows only, not run here: " + std::to_string(elsewhere) + "\n");
    const std::string skips = skippedCases > 0 ? ", " + std::to_string(skippedCases) + " skipped" : "";
    Print(std::to_string(passed) + " passed, " + std::to_string(failed) + " failed" + skips + "\n");
    return failed == 0 ? 0 : 1;
}

// The shell's part: Windows key + O flips the rotation lock a while after the keys arrive, as on Windows.
bool windowsKeyDown = false;
int pendingFlips = 0;
HANDLE shellIdle = nullptr;

void CALLBACK FlipRotation(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    HKEY key = nullptr;
    const REGSAM access = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation", 0, access,
                      &key) == ERROR_SUCCESS)
    {
        DWORD enable = 0;
        DWORD size = sizeof(enable);
        if (RegGetValueW(key, nullptr, L"Enable", RRF_RT_REG_DWORD, nullptr, &enable, &size) == ERROR_SUCCESS)
        {
            const DWORD flipped = enable == 0 ? 1 : 0;
            RegSetValueExW(key, L"Enable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flipped), sizeof(flipped));
        }
        RegCloseKey(key);
    }
    --pendingFlips;
    if (pendingFlips == 0)
        SetEvent(shellIdle);
}

void PlayShell(const KBDLLHOOKSTRUCT& key)
{
    const bool up = (key.flags & LLKHF_UP) != 0;
    if (key.vkCode == VK_LWIN || key.vkCode == VK_RWIN)
        windowsKeyDown = !up;
    if (key.vkCode != 'O' || up || !windowsKeyDown)
        return;
    const DWORD delay = sandbox::ShellDelay();
    if (delay == sandbox::kShellOff || SetTimer(nullptr, 0, delay, FlipRotation) == 0)
        return;
    ++pendingFlips;
    ResetEvent(shellIdle);
}

LRESULT CALLBACK OnKey(int code, WPARAM wParam, LPARAM lParam)
{
    if (code != HC_ACTION)
        return CallNextHookEx(nullptr, code, wParam, lParam);
    const KBDLLHOOKSTRUCT* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
    const std::wstring text = std::to_wstring(key->vkCode) + L" " + std::to_wstring(key->flags);
    Journal(L"keys", text.c_str());
    PlayShell(*key);
    return 1;  // keeps the injected keys from the rest of the desktop
}

int RecordKeys()
{
    shellIdle = CreateEventW(nullptr, TRUE, TRUE, sandbox::ShellIdleEvent().c_str());
    if (SetWindowsHookExW(WH_KEYBOARD_LL, OnKey, GetModuleHandleW(nullptr), 0) == nullptr)
        return 4;
    Linger();
    return 0;
}
}  // namespace

int main()
{
    // The reports are read on Linux: lines end in LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    sandbox::UseStandins(sandbox::ProgramFolder());
    const std::wstring command = Argument(1);
    if (command == L"install")
        return Install() ? 0 : 1;
    if (command == L"run")
        return RunOnce(Argument(2));
    if (command == L"check")
        return Check(Argument(2), machine::Narrow(Argument(3)), Argument(4), Argument(5));
    if (command == L"snapshot")
        return machine::WriteBytes(Argument(2), machine::SnapshotToText(machine::TakeSnapshot())) ? 0 : 1;
    if (command == L"keys")
        return RecordKeys();
    if (command == L"stop")
    {
        HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEvent);
        const bool set = stop != nullptr && SetEvent(stop);
        if (stop != nullptr)
            CloseHandle(stop);
        return set ? 0 : 1;
    }
    fprintf(stderr, "usage: sandbox install | run ITEMS [SWITCH...] | check FILE NAME [--after N] | snapshot FILE | "
                    "stop\n");
    return 2;
}
