// Items: reading and checking them before anything is changed, and arranging them.
#include "engine.h"

#include <stdio.h>

#include <algorithm>
#include <regex>

namespace sandbox
{
namespace
{
bool StartsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
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
        return IsDecimal(rest, 0xFFFFFFFFull) ? "" : "REG_DWORD takes a number below 2^32";
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
        return IsDecimal(value, 16) ? "" : "a device count from 0 to 16";
    if (StartsWith(name, "HKLM\\"))
        return RegistryFault(name, value);
    if (OnMachineDrives(name))
        return FileFault(value);
    if (name.size() > 1 && name[1] == ':')
        return "a path outside the machine's drives C: and D:";
    return "not a registry entry (HKLM\\...), a file on C: or D:, or \"virtual HID devices present\"";
}

// "N ms" with N from 0 to 60000.
bool IsMilliseconds(const std::string& text)
{
    if (text.size() <= 3 || text.compare(text.size() - 3, 3, " ms") != 0)
        return false;
    return IsDecimal(text.substr(0, text.size() - 3), 60000);
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
    if (item.kind == "running" && !IsDecimal(item.value, 8))
        return "a count from 0 to 8";
    if (item.kind == "env" && (item.name.empty() || item.name.find('=') != std::string::npos))
        return "a variable's name";
    if (item.kind == "shell" && item.name != "Win+O")
        return "the shell plays \"Win+O\" only";
    if (item.kind == "shell" && item.value != "off" && !IsMilliseconds(item.value))
        return "expected \"N ms\" (up to 60000) or \"off\"";
    if (item.kind == "beside" && item.value.empty())
        return "a command line for the program";
    return "";
}

// Starts a copy of the stand-in `program` at `path` and returns its process id once it has fully started (it opens
// an event then); 0 when it could not be started.
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

void EndPrograms(std::vector<HANDLE>& programs)
{
    for (HANDLE program : programs)
    {
        TerminateProcess(program, 0xDEAD);
        WaitForSingleObject(program, 5000);
        CloseHandle(program);
    }
    programs.clear();
}

// "library standin.dll without EXPORT" names the copy of the stand-in library built without that export.
std::string LibraryFile(const std::string& value)
{
    const std::string without = "library standin.dll without ";
    if (!StartsWith(value, without))
        return value;
    return "library standin-no" + value.substr(without.size()) + ".dll";
}

// Reads "at N ms: ITEM" into `item` (name: N, value: ITEM); what is wrong, empty when nothing is.
std::string ReadTimed(const std::string& rest, Item& item)
{
    const size_t colon = rest.find(": ");
    if (colon == std::string::npos || !IsMilliseconds(rest.substr(0, colon)))
        return "expected \"at N ms: ITEM\" with N up to 60000";
    item.name = rest.substr(0, colon - 3);
    item.value = rest.substr(colon + 2);
    if (item.value == "stop")
        return "";
    Item inner;
    std::string error;
    if (StartsWith(item.value, "at ") || StartsWith(item.value, "shell "))
        return "\"at\" takes an item that can be made true while the program runs, or \"stop\"";
    if (!ParseItem(item.value, inner, error))
        return error.substr(error.find("': ") + 3);
    return "";
}
}  // namespace

bool ParseItem(const std::string& text, Item& item, std::string& error)
{
    static const char* const kKinds[] = {"env ", "held ", "locked ", "link ", "symlink ", "running ", "shell "};
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
    if (StartsWith(text, "beside = "))
        item.kind = "beside";
    const size_t is = rest.find(" = ");
    const bool takesValue = item.kind != "held" && item.kind != "locked";
    std::string fault;
    if (StartsWith(text, "at "))
    {
        item.kind = "at";
        fault = ReadTimed(text.substr(3), item);
    }
    else if (takesValue && is == std::string::npos)
        fault = "expected NAME = VALUE";
    else if (!takesValue && is != std::string::npos)
        fault = "\"" + item.kind + "\" takes a path and no value";
    else
    {
        item.name = rest.substr(0, is);
        item.value = takesValue ? LibraryFile(rest.substr(is + 3)) : "";
        fault = item.kind == "entry" ? EntryFault(item.name, item.value) : KindFault(item);
    }
    if (fault.empty())
        return true;
    error = "item '" + text + "': " + fault;
    return false;
}

Arrangement::~Arrangement()
{
    EndBeside();
    // Whatever its image, a program the next case arranges is started from the same folders.
    EndPrograms(lingering);
    if (shellChanged)
        ResetShellDelay();
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
            const std::wstring path = L"C:\\instelix-running\\" + std::to_wstring(lingering.size()) + L"\\" + name;
            const DWORD id = StartLingering(path, L"standin.exe", L"--linger");
            HANDLE program = id != 0 ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id) : nullptr;
            if (program != nullptr)
                lingering.push_back(program);
            done = program != nullptr;
        }
        startedPrograms = true;
    }
    else if (item.kind == "cwd")
        folder = Expanded(item.value);
    else if (item.kind == "shell")
    {
        shellChanged = true;
        SetShellDelay(item.value == "off" ? kShellOff : std::stoul(item.value));
    }
    else if (item.kind == "beside")
    {
        const CommandLine command = CaseCommandLine(item.value);
        HANDLE program = Start(command.line, command.program);
        if (program != nullptr)
            beside.push_back(program);
        done = program != nullptr;
    }
    else if (item.kind == "at" && item.value == "stop")
        stopMs = std::min(stopMs, static_cast<DWORD>(std::stoul(item.name)));
    else if (item.kind == "at")
    {
        Item inner;
        std::string ignored;
        ParseItem(item.value, inner, ignored);
        timed.emplace_back(static_cast<DWORD>(std::stoul(item.name)), inner);
        std::stable_sort(timed.begin(), timed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    else
        done = machine::Apply(item.name, item.value, Standins());
    if (!done)
        error =
            "item '" + item.text + "': could not be arranged (Windows error " + std::to_string(GetLastError()) + ")";
    return done;
}

DWORD Arrangement::ApplyDue(DWORD elapsedMs)
{
    for (; applied < timed.size() && timed[applied].first <= elapsedMs; ++applied)
    {
        std::string error;
        if (!Apply(timed[applied].second, error))
            fprintf(stderr, "%s\n", error.c_str());
    }
    return applied < timed.size() ? timed[applied].first : INFINITE;
}

void Arrangement::EndBeside()
{
    EndPrograms(beside);
}
}  // namespace sandbox
