#include "harness/rows.h"

#include <algorithm>
#include <map>
#include <regex>

static const std::wstring kJournal = L"C:\\instelix-journal.txt";
static bool canListModules = false;

std::string Replace(std::string text, const std::string& token, const std::string& by)
{
    for (size_t at = 0; (at = text.find(token, at)) != std::string::npos; at += by.size())
        text.replace(at, token.size(), by);
    return text;
}

Lines Split(const std::string& text, const std::string& separator)
{
    Lines parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + separator.size())
        parts.push_back(text.substr(start, end - start));
    if (start < text.size())  // a separator at the end leaves no empty part
        parts.push_back(text.substr(start));
    return parts;
}

std::string Expand(std::string text)
{
    const bool win64 = machine::IsWin64();
    for (const auto& [token, by] : std::map<std::string, std::string>{{"{PF}", machine::ProgramFiles()},
                                                                      {"{PFO}", machine::ProgramFiles(true)},
                                                                      {"{ARCH}", win64 ? "x64" : "x86"},
                                                                      {"{64}", win64 ? " [64-bit view]" : ""},
                                                                      {"{32}", win64 ? " [32-bit view]" : ""},
                                                                      {"{FIX}", machine::Narrow(Fixture(""))},
                                                                      {"{CRLF}", "\r\n"}})
        text = Replace(text, token, by);
    return text;
}

std::wstring Fixture(const std::string& name)
{
    wchar_t path[MAX_PATH];
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"fixtures\\" + machine::Widen(name);
}

HANDLE Start(const std::wstring& line, const std::wstring& program)
{
    std::wstring copy = line;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.empty() ? nullptr : program.c_str(), &copy[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return nullptr;
    return CloseHandle(process.hThread), process.hProcess;
}

DWORD RunLine(const std::wstring& line, const std::wstring& program)
{
    HANDLE process = Start(line, program);
    DWORD exitCode = 0xDEAD;
    if (process == nullptr)
        return ADD_FAILURE() << "cannot start " << machine::Narrow(line), exitCode;
    if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0)
        TerminateProcess(process, 0xDEAD), WaitForSingleObject(process, 5000);
    GetExitCodeProcess(process, &exitCode);
    return CloseHandle(process), exitCode;
}

Lines JournalLines(size_t atLeast)
{
    auto read = [] { return Split(machine::ReadBytes(kJournal), "\n"); };
    Lines lines = read();
    for (int waited = 0; lines.size() < atLeast && waited < 5000; waited += 50)
        Sleep(50), lines = read();
    return lines;
}

void ClearJournal()
{
    DeleteFileW(kJournal.c_str());
}

Lines LogEntries(const std::wstring& path, bool oneRun)
{
    const std::string bytes = machine::ReadBytes(path);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2), n = L"(0|[1-9]\\d*)";
    static const std::wregex layout(L"\\[" + n + L"-" + n + L"-" + n + L" " + n + L":" + n + L":" + n + L" (-?" + n +
                                    L")\\] <<<=Ts (error|Debug) ?=>>>: ([^\\r\\n\\[]*)\\r\\n ");
    Lines entries;
    std::wsmatch match;
    for (auto at = text.cbegin(); at != text.cend(); at = match[0].second)
    {
        if (!std::regex_search(at, text.cend(), match, layout, std::regex_constants::match_continuous))
            return ADD_FAILURE() << "log layout broken after entry " << entries.size(), entries;
        EXPECT_TRUE(!oneRun || std::stoul(match[7]) == entries.size()) << "numbering";
        entries.push_back(machine::Narrow(match[9].str() + L"|" + match[10].str()));
    }
    return entries;
}

bool Matches(const char* pattern, const char* text)
{
    if (*pattern == '*')
        return Matches(pattern + 1, text) || (*text != 0 && Matches(pattern, text + 1));
    return *pattern == *text && (*text == 0 || Matches(pattern + 1, text + 1));
}

namespace
{
// Starts a copy of the fixture `program` at `path` and returns its process id once it has fully started (it opens an
// event then); 0 when it could not be started.
DWORD StartLingering(const std::wstring& path, const char* program = "standin.exe",
                     const wchar_t* argument = L"--linger")
{
    machine::MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    HANDLE process =
        CopyFileW(Fixture(program).c_str(), path.c_str(), FALSE) ? Start(L"\"" + path + L"\" " + argument) : nullptr;
    const DWORD id = process != nullptr ? GetProcessId(process) : 0;
    HANDLE started = nullptr;
    for (int tries = 0;
         id != 0 && tries < 1000 && WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
         !(started = OpenEventW(SYNCHRONIZE, FALSE, (L"instelix-lingering-" + std::to_wstring(id)).c_str()));
         ++tries)
        Sleep(10);
    return process != nullptr && CloseHandle(process) && started != nullptr && CloseHandle(started) ? id : 0;
}

// Makes (or with `target` empty removes) a symbolic link on the Linux side: Wine makes none itself, nor removes one
// without following it. It starts Linux programs without a handle to wait on, so the link is watched instead.
bool SymbolicLink(const std::wstring& link, const std::wstring& target = L"")
{
    using Convert = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    auto linuxName = [&](const std::wstring& path) { return L" \"" + machine::Widen(convert(path.c_str())) + L"\""; };
    Start(target.empty() ? L"Z:\\bin\\rm" + linuxName(link) : L"Z:\\bin\\ln -s" + linuxName(target) + linuxName(link));
    for (int waited = 0;
         waited < 5000 && (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) != target.empty(); waited += 10)
        Sleep(10);
    return (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) == target.empty();
}

// A row's expected lines (in order, or in name order when `sorted`) against what happened; empty when they agree.
std::string Differences(const std::string& what, const std::string& field, Lines seen, bool sorted)
{
    Lines expected = Split(field, " ; ");
    auto byName = [](const std::string& a, const std::string& b) { return a.compare(2, a.npos, b, 2, b.npos) < 0; };
    if (sorted)
        std::sort(expected.begin(), expected.end(), byName), std::sort(seen.begin(), seen.end(), byName);
    bool same = expected.size() == seen.size();
    for (size_t i = 0; same && i < expected.size(); ++i)
        same = Matches(expected[i].c_str(), seen[i].c_str());
    std::string report = same ? "" : "\n  " + what + " expected:";
    for (size_t i = 0; !same && i <= expected.size() + seen.size(); ++i)
        report += i == expected.size() ? "\n  " + what + " seen:"
                                       : "\n    " + (i < expected.size() ? expected[i] : seen[i - expected.size() - 1]);
    return report;
}

// Arranges the machine as the row's fields say (after a reset to a machine without the suite, the log folder
// present), runs the program from C:\Suite, and reports every difference at once.
void RunRow(const Lines& row)
{
    if (row[1].find("modules") != std::string::npos && !canListModules)
        GTEST_SKIP() << "this machine cannot list another process's modules";
    for (const std::string& field : row)  // a misspelt {NAME} would otherwise pass on as text
        ASSERT_EQ(field.find('{'), std::string::npos) << field;
    machine::Reset();
    machine::RemoveTree(L"C:\\instelix-running");  // so that a stand-in takes the letter case its row gives
    const std::wstring program = L"C:\\Suite\\Instelix.exe";
    ASSERT_TRUE(machine::Apply("D:\\DeviceControl", "folder", L"") && machine::Apply("C:\\Suite", "folder", L"") &&
                CopyFileW(kProgram.c_str(), program.c_str(), FALSE));
    CreateDirectoryW(L"C:\\Program Files (x86)", nullptr);  // a trap on 32-bit Windows for a program that trusts it
    std::vector<std::wstring> variables, links;
    std::vector<HANDLE> held;
    std::wstring folder = L"C:\\";
    bool ends = false;  // an ended process can still be listed for a moment after the program has gone
    for (const std::string& item : Split(row[2], " ; "))
    {
        const size_t is = item.find(" = ");
        const std::string name = item.substr(0, is), kind = name.substr(0, name.find(' ')),
                          value = is == item.npos ? "" : item.substr(is + 3);
        const std::wstring rest = machine::Widen(name.substr(name.find(' ') + 1));
        wchar_t expanded[8192];
        ExpandEnvironmentStringsW(machine::Widen(value).c_str(), expanded, ARRAYSIZE(expanded));
        OVERLAPPED all = {};
        if (kind == "env")
            variables.push_back(rest), SetEnvironmentVariableW(rest.c_str(), expanded);
        else if (kind == "held" || kind == "locked")  // a reader that shares writing and locks all past 2^62
            held.push_back(CreateFileW(rest.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | (kind == "locked") * FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                       nullptr)),
                all.OffsetHigh = 1u << 30,
                kind == "held" || LockFileEx(held.back(), 0, 0, 0, 1u << 30, &all) ||
                    (ADD_FAILURE() << "cannot lock " << name, false);
        else if (kind == "link")  // a second name for the file `value`
            EXPECT_TRUE(CreateHardLinkW(rest.c_str(), machine::Widen(value).c_str(), nullptr)) << name;
        else if (kind == "symlink")
            machine::RemoveTree(rest), links.push_back(rest),
                SymbolicLink(rest, machine::Widen(value)) || (ADD_FAILURE() << "cannot link " << name, false);
        else if (kind == "running")
            for (int i = 0; i < std::stoi(value); ++i, ends = true)
                EXPECT_NE(StartLingering(L"C:\\instelix-running\\" + std::to_wstring(i) + L"\\" + rest), 0u);
        else if (kind == "cwd")
            folder = expanded;
        else
            EXPECT_TRUE(machine::Apply(name, value, Fixture(""))) << "arranging " << name;
    }
    const machine::Snapshot before = machine::TakeSnapshot();
    ClearJournal();
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(folder.c_str());
    // "!" with a quoted first element names another program; without one the line has no program path.
    const std::wstring command = machine::Widen(row[3]);
    const DWORD exitCode = command[0] != L'!' ? RunLine(L"\"" + program + L"\" " + command)
                                              : RunLine(command.substr(1), command[1] == L'"' ? L"" : program);
    SetCurrentDirectoryW(saved);
    for (const std::wstring& variable : variables)
        SetEnvironmentVariableW(variable.c_str(), nullptr);
    std::for_each(held.begin(), held.end(), CloseHandle);
    // Injected keys reach the recorder after the program has gone, and so can a watch's.
    const size_t keys = row[6].find("keys: ") != std::string::npos ? Split(row[6], " ; ").size() : 0;
    Sleep(keys == 0 && row[3].find("rotation") != std::string::npos ? 300 : 0);
    std::string report = exitCode == std::stoul(row[4]) ? "" : "\n  exit code " + std::to_string(exitCode);
    auto changes = [&] {
        return Differences("changes", row[5], machine::CompareSnapshots(before, machine::TakeSnapshot()), true);
    };
    std::string changed = changes();
    for (int waited = 0; ends && !changed.empty() && waited < 3000; waited += 100)
        Sleep(100), changed = changes();
    report += changed + Differences("journal", row[6], JournalLines(keys), false);
    EXPECT_EQ(report + Differences("log", row[7], LogEntries(), false), "") << row[0];
    for (const std::wstring& link : links)
        EXPECT_TRUE(SymbolicLink(link)) << "removing the link";
}

struct RowTest : testing::Test
{
    explicit RowTest(const Lines& row) : row(row) {}
    void TestBody() override { RunRow(row); }
    Lines row;
};

// Registers a test for each row of tests/rows.txt meant for this machine, each table as a suite.
void RegisterRows()
{
    Lines lines;
    std::map<std::string, std::string> defined;
    std::string suite;
    for (const std::string& line :
         Split(machine::ReadBytes(machine::Widen("Z:" INSTELIX_SOURCE_DIR "/tests/rows.txt")), "\n"))
        if (line[0] == ' ')
            lines.back() += line.substr(line.find_first_not_of(' ') - 1);
        else if (!line.empty() && line[0] != '#')
            lines.push_back(line);
    for (std::string line : lines)
    {
        for (const auto& [token, text] : defined)
            line = Replace(line, token, text);
        line = Expand(line);            // what differs between the machines, last
        Lines row = Split(line, " |");  // an empty field leaves " | |"
        row.resize(8);
        for (std::string& field : row)
            field.erase(0, field.rfind(' ', 0) == 0);
        std::string name = row[0];
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !isalnum(static_cast<unsigned char>(c)); }, '_');
        if (line[0] == '[')
            suite = line.substr(1, line.size() - 2);
        else if (line[0] == '{')
            defined[line.substr(0, line.find(" = "))] = line.substr(line.find(" = ") + 3);
        else if (row[1].rfind(machine::IsWin64() ? "32" : "64", 0) != 0)
            testing::RegisterTest(suite.c_str(), name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                                  [row]() -> testing::Test* { return new RowTest(row); });
    }
}

// Wine raises an exception for every OutputDebugString call; under a user-mode emulator dispatching one in a
// process with a vectored handler (the thread runtime installs one) corrupts the thread, so the test program's
// imports go to a no-op. Instelix itself has no such handler.
void WINAPI Ignore(LPCWSTR)
{
}
}  // namespace

extern "C" void(WINAPI* g_debugA)(LPCWSTR) __asm__("__imp__OutputDebugStringA@4");
extern "C" void(WINAPI* g_debugW)(LPCWSTR) __asm__("__imp__OutputDebugStringW@4");
void(WINAPI* g_debugA)(LPCWSTR) = Ignore;
void(WINAPI* g_debugW)(LPCWSTR) = Ignore;

int main(int argc, char** argv)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    RegisterRows();
    // A shell and a key recorder run throughout, as on a desktop, and end with this program; whether this machine
    // lets one process list another's modules (Wine under a user-mode emulator does not) is found out by trying.
    SetEnvironmentVariableW(L"INSTELIX_JOURNAL", kJournal.c_str());
    SetEnvironmentVariableW(L"INSTELIX_OWNER", std::to_wstring(GetCurrentProcessId()).c_str());
    machine::Reset();
    const DWORD shell = StartLingering(L"C:\\instelix-desktop\\explorer.exe");
    StartLingering(L"C:\\instelix-desktop\\keys.exe", "helper.exe", L"--keys");
    canListModules = RunLine(L"\"" + Fixture("helper.exe") + L"\" --modules " + std::to_wstring(shell)) == 0;
    const int result = RUN_ALL_TESTS();
    // Ending at once keeps library clean-up, which nothing here tests, from holding up the verdict.
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
