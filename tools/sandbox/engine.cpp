#include "engine.h"

#include <psapi.h>

#include <algorithm>
#include <map>
#include <regex>

namespace sandbox
{
const wchar_t kProgramPath[] = L"C:\\Suite\\Instelix.exe";
const wchar_t kLogFile[] = L"D:\\DeviceControl\\em9.Log";
const wchar_t kJournal[] = L"C:\\instelix-journal.txt";

namespace
{
std::wstring standins;

DWORD Elapsed(ULONGLONG start)
{
    return static_cast<DWORD>(GetTickCount64() - start);
}

void AwaitProgress(HANDLE process, const Waiting& waiting, bool& stopped)
{
    HANDLE handles[] = {process, waiting.stop};
    const DWORD count = waiting.stop != nullptr ? 2 : 1;
    const ULONGLONG start = GetTickCount64();
    for (;;)
    {
        const DWORD elapsed = Elapsed(start);
        DWORD next = waiting.limitMs;
        if (waiting.progress != nullptr)
            next = std::min(next, (elapsed / 5000 + 1) * 5000);
        if (waiting.timeline)
            next = std::min(next, waiting.timeline(elapsed));
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, next > elapsed ? next - elapsed : 0);
        if (result == WAIT_OBJECT_0)
            return;
        const DWORD now = Elapsed(start);
        if (result == WAIT_OBJECT_0 + 1 || now >= waiting.limitMs)
            break;
        if (waiting.progress != nullptr && now / 5000 > elapsed / 5000)
            waiting.progress(static_cast<int>(now / 5000 * 5));
    }
    stopped = true;
    TerminateProcess(process, 0xDEAD);
    WaitForSingleObject(process, 5000);
}

const wchar_t kShellKey[] = L"Software\\Instelix sandbox\\Win+O delay";

std::wstring Owner()
{
    wchar_t owner[32] = L"";
    GetEnvironmentVariableW(L"INSTELIX_OWNER", owner, ARRAYSIZE(owner));
    return owner;
}

// Waits until the shell has acted on every hotkey it has seen, at most 5 s.
void AwaitShell()
{
    HANDLE idle = OpenEventW(SYNCHRONIZE, FALSE, ShellIdleEvent().c_str());
    if (idle == nullptr)
        return;
    WaitForSingleObject(idle, 5000);
    CloseHandle(idle);
}
}  // namespace

DWORD StartLingering(const std::wstring& path, const std::wstring& program, const std::wstring& argument)
{
    machine::MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    if (!CopyFileW((Standins() + program).c_str(), path.c_str(), FALSE))
        return 0;
    HANDLE process = Start(L"\"" + path + L"\" " + argument);
    if (process == nullptr)
        return 0;
    const DWORD id = GetProcessId(process);
    const std::wstring event = L"instelix-lingering-" + std::to_wstring(id);
    HANDLE started = nullptr;
    for (int tries = 0; tries < 1000 && started == nullptr; ++tries)
    {
        if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT)
            break;
        started = OpenEventW(SYNCHRONIZE, FALSE, event.c_str());
        if (started == nullptr)
            Sleep(10);
    }
    CloseHandle(process);
    if (started == nullptr)
        return 0;
    CloseHandle(started);
    return id;
}

// Makes (or with `target` empty removes) a symbolic link on the Linux side: Wine makes none itself, nor removes one
// without following it. It starts Linux programs without a handle to wait on, so the link is watched instead.
std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring program(path, length);
    return program.substr(0, program.find_last_of(L'\\') + 1);
}

void UseStandins(const std::wstring& folder)
{
    standins = folder;
}

const std::wstring& Standins()
{
    return standins;
}

std::wstring ProgramUnderTest()
{
    wchar_t chosen[MAX_PATH];
    const DWORD chars = GetEnvironmentVariableW(L"INSTELIX_PROGRAM", chosen, MAX_PATH);
    if (chars > 0 && chars < MAX_PATH)
        return chosen;
    return standins + L"..\\Instelix.exe";
}

std::string Replace(std::string text, const std::string& token, const std::string& by)
{
    size_t at = text.find(token);
    while (at != std::string::npos)
    {
        text.replace(at, token.size(), by);
        at = text.find(token, at + by.size());
    }
    return text;
}

Lines Split(const std::string& text, const std::string& separator)
{
    Lines parts;
    size_t start = 0;
    size_t end = text.find(separator);
    while (end != std::string::npos)
    {
        parts.push_back(text.substr(start, end - start));
        start = end + separator.size();
        end = text.find(separator, start);
    }
    if (start < text.size())
        parts.push_back(text.substr(start));
    return parts;
}

bool IsDecimal(const std::string& text, unsigned long long most)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return std::stoull(text) <= most;
}

bool Matches(const char* pattern, const char* text)
{
    if (*pattern == '*')
        return Matches(pattern + 1, text) || (*text != 0 && Matches(pattern, text + 1));
    if (*pattern != *text)
        return false;
    return *text == 0 || Matches(pattern + 1, text + 1);
}

std::string ExpandMachineTokens(std::string text)
{
    const bool win64 = machine::IsWin64();
    const std::map<std::string, std::string> tokens = {
        {"{PF}", machine::ProgramFiles()},
        {"{PFO}", machine::ProgramFiles(true)},
        {"{ARCH}", win64 ? "x64" : "x86"},
        {"{64}", win64 ? " [64-bit view]" : ""},
        {"{32}", win64 ? " [32-bit view]" : ""},
        {"{FIX}", machine::Narrow(Standins())},
        {"{CRLF}", "\r\n"},
    };
    for (const auto& [token, by] : tokens)
        text = Replace(text, token, by);
    return text;
}
Desktop::Desktop()
{
    SetEnvironmentVariableW(L"INSTELIX_JOURNAL", kJournal);
    SetEnvironmentVariableW(L"INSTELIX_OWNER", std::to_wstring(GetCurrentProcessId()).c_str());
    // Earlier desktops' copies; those of a desktop still running are in use and stay.
    machine::RemoveTree(L"C:\\instelix-desktop");
    const std::wstring folder = L"C:\\instelix-desktop\\" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    const DWORD shell = StartLingering(folder + L"explorer.exe", L"standin.exe", L"--linger");
    StartLingering(folder + L"keys.exe", L"sandbox.exe", L"keys");
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, shell);
    HMODULE module = nullptr;
    DWORD bytes = 0;
    canListModules = process != nullptr && K32EnumProcessModules(process, &module, sizeof(module), &bytes);
    if (process != nullptr)
        CloseHandle(process);
}

DWORD ShellDelay()
{
    DWORD delay = kShellDelayMs;
    DWORD size = sizeof(delay);
    RegGetValueW(HKEY_CURRENT_USER, kShellKey, Owner().c_str(), RRF_RT_REG_DWORD, nullptr, &delay, &size);
    return delay;
}

void SetShellDelay(DWORD ms)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, kShellKey, Owner().c_str(), REG_DWORD, &ms, sizeof(ms));
}

void ResetShellDelay()
{
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kShellKey, Owner().c_str());
}

std::wstring ShellIdleEvent()
{
    return L"instelix-shell-idle-" + Owner();
}

HANDLE Start(const std::wstring& line, const std::wstring& program)
{
    std::wstring copy = line;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const wchar_t* application = program.empty() ? nullptr : program.c_str();
    if (!CreateProcessW(application, &copy[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

Ending RunLine(const std::wstring& line, const std::wstring& program, const Waiting& waiting)
{
    Ending ending;
    HANDLE process = Start(line, program);
    if (process == nullptr)
        return ending;
    ending.started = true;
    AwaitProgress(process, waiting, ending.stopped);
    GetExitCodeProcess(process, &ending.exitCode);
    CloseHandle(process);
    return ending;
}

Lines JournalLines(size_t atLeast)
{
    Lines lines = Split(machine::ReadBytes(kJournal), "\n");
    for (int waited = 0; lines.size() < atLeast && waited < 5000; waited += 50)
    {
        Sleep(50);
        lines = Split(machine::ReadBytes(kJournal), "\n");
    }
    return lines;
}

void ClearJournal()
{
    DeleteFileW(kJournal);
}

bool ReadLogEntries(const std::string& bytes, bool oneRun, Lines& entries, std::string& fault)
{
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    const std::wstring n = L"(0|[1-9]\\d*)";
    static const std::wregex layout(L"\\[" + n + L"-" + n + L"-" + n + L" " + n + L":" + n + L":" + n + L" (-?" + n +
                                    L")\\] <<<=Ts (error|Debug) ?=>>>: ([^\\r\\n\\[]*)\\r\\n ");
    std::wsmatch match;
    auto at = text.cbegin();
    while (at != text.cend())
    {
        if (!std::regex_search(at, text.cend(), match, layout, std::regex_constants::match_continuous))
        {
            fault = "log layout broken after entry " + std::to_string(entries.size());
            return false;
        }
        if (oneRun && machine::Narrow(match[7]) != std::to_string(entries.size()))
        {
            fault = "log entry " + std::to_string(entries.size()) + " numbered " + machine::Narrow(match[7]);
            return false;
        }
        entries.push_back(machine::Narrow(match[9].str() + L"|" + match[10].str()));
        at = match[0].second;
    }
    if (bytes.size() % 2 != 0)
    {
        fault = "log ends in half a character";
        return false;
    }
    return true;
}

CommandLine CaseCommandLine(const std::string& command)
{
    CommandLine result;
    const std::wstring text = machine::Widen(command);
    if (text.empty() || text[0] != L'!')
    {
        result.line = L"\"" + std::wstring(kProgramPath) + L"\" " + text;
        return result;
    }
    result.line = text.substr(1);
    if (result.line.empty() || result.line[0] != L'"')
        result.program = kProgramPath;
    return result;
}

Run::Run(const CommandLine& command, Arrangement& arrangement, Waiting waiting)
{
    before = machine::TakeSnapshot();
    logBefore = machine::ReadBytes(kLogFile);
    ClearJournal();
    wchar_t saved[MAX_PATH];
    const DWORD savedLength = GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(arrangement.Folder().c_str());
    waiting.limitMs = std::min(waiting.limitMs, arrangement.StopMs());
    waiting.timeline = [&arrangement](DWORD elapsedMs) { return arrangement.ApplyDue(elapsedMs); };
    ending = RunLine(command.line, command.program, waiting);
    arrangement.EndBeside();
    if (savedLength > 0 && savedLength < MAX_PATH)
        SetCurrentDirectoryW(saved);
    // Injected keys reach the recorder after the program has gone, and so can a watch's.
    std::wstring lowered = command.line;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), towlower);
    if (lowered.find(L"rotation") != std::wstring::npos)
        Sleep(300);
}

Outcome Run::Observe(size_t journalLines) const
{
    Outcome outcome;
    outcome.exitCode = ending.exitCode;
    outcome.stopped = ending.stopped;
    outcome.journal = JournalLines(journalLines);
    AwaitShell();
    outcome.changes = machine::CompareSnapshots(before, machine::TakeSnapshot());
    std::string log = machine::ReadBytes(kLogFile);
    // The run appended to the log it found, or began a new one.
    if (log.compare(0, logBefore.size(), logBefore) == 0)
        log.erase(0, logBefore.size());
    ReadLogEntries(log, true, outcome.log, outcome.logFault);
    return outcome;
}
}  // namespace sandbox