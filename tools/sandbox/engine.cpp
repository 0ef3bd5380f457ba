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

bool StartsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

bool IsNumber(const std::string& text)
{
    return !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
}

// A path on one of the stand-in machine's own drives. Any other letter may reach outside it (Z: is the Linux root).
bool OnMachineDrives(const std::string& path)
{
    if (path.size() < 3 || path[1] != ':' || path[2] != '\\')
        return false;
    const char drive = static_cast<char>(toupper(static_cast<unsigned char>(path[0])));
    return drive == 'C' || drive == 'D';
}

std::wstring Expanded(const std::string& value)
{
    wchar_t expanded[8192];
    const DWORD length = ExpandEnvironmentStringsW(machine::Widen(value).c_str(), expanded, ARRAYSIZE(expanded));
    if (length == 0 || length > ARRAYSIZE(expanded))
        return machine::Widen(value);
    return expanded;
}

// What is wrong with a registry entry's value; empty when nothing is.
std::string RegistryValueFault(const std::string& name, const std::string& value)
{
    const bool keyOnly = name.find(": ") == std::string::npos;
    if (value == "absent")
        return "";
    if (keyOnly)
        return value == "key" ? "" : "a key takes \"key\" or \"absent\"";
    const std::string kind = value.substr(0, value.find(' '));
    const std::string rest = value.size() > kind.size() ? value.substr(kind.size() + 1) : "";
    if (kind == "REG_DWORD")
        return IsNumber(rest) && std::stoull(rest) <= 0xFFFFFFFFull ? "" : "REG_DWORD takes a number below 2^32";
    if (kind == "REG_SZ" || kind == "REG_EXPAND_SZ")
        return "";
    if (kind == "type")
    {
        static const std::regex bytes("(0|[1-9][0-9]{0,9}), bytes:( [0-9a-fA-F]{2})*");
        return std::regex_match(rest, bytes) ? "" : "expected \"type N, bytes: 01 02 ...\"";
    }
    return "no value kind \"" + kind + "\" (key, absent, REG_DWORD, REG_SZ, REG_EXPAND_SZ, type N, bytes: ...)";
}

std::string RegistryFault(const std::string& name, const std::string& value)
{
    const bool labelled =
        name.find(" [64-bit view]") != std::string::npos || name.find(" [32-bit view]") != std::string::npos;
    if (labelled && !machine::IsWin64())
        return "32-bit Windows has one registry view: leave out the view's label";
    return RegistryValueFault(name, value);
}

// What is wrong with a file entry's value; empty when nothing is.
std::string FileFault(const std::string& value)
{
    static const std::regex version("version [0-9]{1,5}(\\.[0-9]{1,5}){0,3}");
    if (value == "absent" || value == "folder" || value == "standin" || StartsWith(value, "text: "))
        return "";
    if (StartsWith(value, "version "))
        return std::regex_match(value, version) ? "" : "expected \"version a.b.c.d\"";
    if (StartsWith(value, "library "))
    {
        const std::wstring library = Standins() + machine::Widen(value.substr(8));
        if (GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES)
            return "no stand-in library \"" + value.substr(8) + "\"";
        return "";
    }
    return "no file kind \"" + value.substr(0, value.find(' ')) +
           "\" (absent, folder, standin, version a.b.c.d, library NAME, text: ...)";
}

std::string EntryFault(const std::string& name, const std::string& value)
{
    if (name == "virtual HID devices present")
        return IsNumber(value) && std::stoul(value) <= 16 ? "" : "a device count from 0 to 16";
    if (StartsWith(name, "HKLM\\"))
        return RegistryFault(name, value);
    if (OnMachineDrives(name))
        return FileFault(value);
    if (name.size() > 1 && name[1] == ':')
        return "a path outside the machine's drives C: and D:";
    return "not a registry entry (HKLM\\...), a file on C: or D:, or \"virtual HID devices present\"";
}

// What is wrong with an item of another kind than an entry; empty when nothing is.
std::string KindFault(const Item& item)
{
    const bool paths = item.kind == "held" || item.kind == "locked" || item.kind == "link" || item.kind == "symlink";
    if (paths && !OnMachineDrives(item.name))
        return "a path outside the machine's drives C: and D:";
    if ((item.kind == "link" || item.kind == "symlink") && !OnMachineDrives(item.value))
        return "a target outside the machine's drives C: and D:";
    if (item.kind == "cwd" && !OnMachineDrives(machine::Narrow(Expanded(item.value))))
        return "a folder outside the machine's drives C: and D:";
    if (item.kind == "running" && (item.name.find('\\') != std::string::npos || item.name.empty()))
        return "a program's file name, without a folder";
    if (item.kind == "running" && !(IsNumber(item.value) && std::stoul(item.value) <= 8))
        return "a count from 0 to 8";
    if (item.kind == "env" && (item.name.empty() || item.name.find('=') != std::string::npos))
        return "a variable's name";
    return "";
}

// Starts a copy of the stand-in `program` at `path` and returns its process id once it has fully started (it opens
// an event then); 0 when it could not be started.
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
bool SymbolicLink(const std::wstring& link, const std::wstring& target = L"")
{
    using Convert = char*(CDECL*)(LPCWSTR);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (found == nullptr)
        return false;
    const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(found));
    auto linuxName = [&](const std::wstring& path) { return L" \"" + machine::Widen(convert(path.c_str())) + L"\""; };
    HANDLE started = nullptr;
    if (target.empty())
        started = Start(L"Z:\\bin\\rm" + linuxName(link));
    else
        started = Start(L"Z:\\bin\\ln -s" + linuxName(target) + linuxName(link));
    if (started != nullptr)
        CloseHandle(started);
    auto done = [&] { return (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) == target.empty(); };
    for (int waited = 0; waited < 5000 && !done(); waited += 10)
        Sleep(10);
    return done();
}

bool HoldFile(const std::wstring& path, bool locked, std::vector<HANDLE>& held)
{
    // A reader; a locking one shares writing and locks everything past 2^62.
    DWORD share = FILE_SHARE_READ;
    if (locked)
        share |= FILE_SHARE_WRITE;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    held.push_back(file);
    if (!locked)
        return true;
    OVERLAPPED from = {};
    from.OffsetHigh = 1u << 30;
    return LockFileEx(file, 0, 0, 0, 1u << 30, &from) != FALSE;
}

void AwaitProgress(HANDLE process, const Waiting& waiting, bool& stopped)
{
    HANDLE handles[] = {process, waiting.stop};
    const DWORD count = waiting.stop != nullptr ? 2 : 1;
    const DWORD slice = waiting.progress != nullptr ? 5000 : waiting.limitMs;
    DWORD waited = 0;
    for (;;)
    {
        const DWORD wait = std::min(slice, waiting.limitMs - waited);
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, wait);
        if (result == WAIT_OBJECT_0)
            return;
        waited += wait;
        if (result == WAIT_OBJECT_0 + 1 || waited >= waiting.limitMs)
            break;
        if (waiting.progress != nullptr)
            waiting.progress(static_cast<int>(waited / 1000));
    }
    stopped = true;
    TerminateProcess(process, 0xDEAD);
    WaitForSingleObject(process, 5000);
}
}  // namespace

void UseStandins(const std::wstring& folder)
{
    standins = folder;
}

const std::wstring& Standins()
{
    return standins;
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

bool ParseItem(const std::string& text, Item& item, std::string& error)
{
    static const char* const kKinds[] = {"env ", "held ", "locked ", "link ", "symlink ", "running "};
    item = Item();
    item.text = text;
    item.kind = "entry";
    std::string rest = text;
    for (const char* kind : kKinds)
    {
        if (StartsWith(text, kind))
        {
            item.kind = std::string(kind, strlen(kind) - 1);
            rest = text.substr(strlen(kind));
        }
    }
    if (StartsWith(text, "cwd = "))
        item.kind = "cwd";
    const size_t is = rest.find(" = ");
    const bool takesValue = item.kind != "held" && item.kind != "locked";
    std::string fault;
    if (takesValue && is == std::string::npos)
        fault = "expected NAME = VALUE";
    else if (!takesValue && is != std::string::npos)
        fault = "\"" + item.kind + "\" takes a path and no value";
    else
    {
        item.name = rest.substr(0, is);
        item.value = takesValue ? rest.substr(is + 3) : "";
        fault = item.kind == "entry" ? EntryFault(item.name, item.value) : KindFault(item);
    }
    if (fault.empty())
        return true;
    error = "item '" + text + "': " + fault;
    return false;
}

Arrangement::~Arrangement()
{
    for (const std::wstring& variable : variables)
        SetEnvironmentVariableW(variable.c_str(), nullptr);
    for (HANDLE file : held)
        CloseHandle(file);
    for (const std::wstring& link : links)
        SymbolicLink(link);
}

bool Arrangement::Apply(const Item& item, std::string& error)
{
    const std::wstring name = machine::Widen(item.name);
    bool done = true;
    if (item.kind == "env")
    {
        variables.push_back(name);
        done = SetEnvironmentVariableW(name.c_str(), Expanded(item.value).c_str()) != FALSE;
    }
    else if (item.kind == "held" || item.kind == "locked")
        done = HoldFile(name, item.kind == "locked", held);
    else if (item.kind == "link")
        done = CreateHardLinkW(name.c_str(), machine::Widen(item.value).c_str(), nullptr) != FALSE;
    else if (item.kind == "symlink")
    {
        machine::RemoveTree(name);
        links.push_back(name);
        done = SymbolicLink(name, machine::Widen(item.value));
    }
    else if (item.kind == "running")
    {
        for (unsigned long i = std::stoul(item.value); i > 0 && done; --i)
        {
            const std::wstring path = L"C:\\instelix-running\\" + std::to_wstring(lingering) + L"\\" + name;
            ++lingering;
            done = StartLingering(path, L"standin.exe", L"--linger") != 0;
        }
        startedPrograms = true;
    }
    else if (item.kind == "cwd")
        folder = Expanded(item.value);
    else
        done = machine::Apply(item.name, item.value, Standins());
    if (!done)
        error = "item '" + item.text + "': could not be arranged";
    return done;
}

Desktop::Desktop()
{
    SetEnvironmentVariableW(L"INSTELIX_JOURNAL", kJournal);
    SetEnvironmentVariableW(L"INSTELIX_OWNER", std::to_wstring(GetCurrentProcessId()).c_str());
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
        if (oneRun && std::stoul(match[7]) != entries.size())
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

Run::Run(const CommandLine& command, const Arrangement& arrangement, const Waiting& waiting)
{
    before = machine::TakeSnapshot();
    logBefore = machine::ReadBytes(kLogFile);
    ClearJournal();
    wchar_t saved[MAX_PATH];
    const DWORD savedLength = GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(arrangement.Folder().c_str());
    ending = RunLine(command.line, command.program, waiting);
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
    outcome.changes = machine::CompareSnapshots(before, machine::TakeSnapshot());
    outcome.journal = JournalLines(journalLines);
    std::string log = machine::ReadBytes(kLogFile);
    // The run appended to the log it found, or began a new one.
    if (log.compare(0, logBefore.size(), logBefore) == 0)
        log.erase(0, logBefore.size());
    ReadLogEntries(log, true, outcome.log, outcome.logFault);
    return outcome;
}
}  // namespace sandbox
