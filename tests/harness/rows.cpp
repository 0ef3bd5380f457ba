#include "harness/rows.h"

#include <algorithm>
#include <regex>

static const std::wstring kJournal = L"C:\\instelix-journal.txt";
static bool canListModules = false;

std::string Expand(std::string text)
{
    const bool win64 = machine::IsWin64();
    const std::pair<std::string, std::string> tokens[] = {
        {"{PF}", machine::ProgramFiles()}, {"{PFO}", machine::ProgramFiles(true)},
        {"{ARCH}", win64 ? "x64" : "x86"}, {"{64}", win64 ? " [64-bit view]" : ""},
        {"{32}", win64 ? " [32-bit view]" : ""}};
    for (const auto& token : tokens)
    {
        for (size_t at; (at = text.find(token.first)) != std::string::npos;)
            text.replace(at, token.first.size(), token.second);
    }
    return text;
}

std::wstring Fixture(const std::string& name)
{
    wchar_t path[MAX_PATH];
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"fixtures\\" + machine::Widen(name);
}

DWORD RunLine(const std::wstring& line, DWORD timeoutMs, const std::wstring& program)
{
    std::wstring copy = line;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.empty() ? nullptr : program.c_str(), &copy[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return ADD_FAILURE() << "cannot start " << machine::Narrow(line), 0xDEAD;
    DWORD exitCode = 0xDEAD;
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 0xDEAD), WaitForSingleObject(process.hProcess, 5000);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

Lines JournalLines()
{
    Lines lines;
    const std::string text = machine::ReadBytes(kJournal);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

void ClearJournal()
{
    DeleteFileW(kJournal.c_str());
}

Lines LogEntries(const std::wstring& path, bool oneRun)
{
    const std::string bytes = machine::ReadBytes(path);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    const std::wstring n = L"(?:0|[1-9]\\d{0,9})";  // unpadded
    static const std::wregex layout(L"\\[" + n + L"-" + n + L"-" + n + L" " + n + L":" + n + L":" + n + L" (-?" + n +
                                    L")\\] <<<=Ts (error|Debug) ?=>>>: ([^\\r\\n\\[]*)\\r\\n ");
    Lines entries;
    std::wsmatch match;
    for (auto at = text.cbegin(); at != text.cend(); at = match[0].second)
    {
        if (!std::regex_search(at, text.cend(), match, layout, std::regex_constants::match_continuous))
            return ADD_FAILURE() << "log layout broken after entry " << entries.size(), entries;
        EXPECT_TRUE(!oneRun || std::stoll(match[1]) == static_cast<long long>(entries.size())) << "numbering";
        entries.push_back(machine::Narrow(match[2].str() + L"|" + match[3].str()));
    }
    EXPECT_EQ(bytes.size() % 2, 0u) << "odd byte count in the log";
    return entries;
}

bool Matches(const char* pattern, const char* text)
{
    if (*pattern == '*')
        return Matches(pattern + 1, text) || (*text != 0 && Matches(pattern, text + 1));
    return *pattern == *text && (*text == 0 || Matches(pattern + 1, text + 1));
}

std::vector<DocumentedSwitch> DocumentedSwitches()
{
    std::string path = INSTELIX_SOURCE_DIR "/docs/switches.md";
    std::replace(path.begin(), path.end(), '/', '\\');
    const std::string text = machine::ReadBytes(machine::Widen("Z:" + path));
    std::vector<DocumentedSwitch> rows;
    const size_t start = text.find("|---"), end = text.find("\n## ", start);
    for (size_t at = text.find("\n| ", start); at < end; at = text.find("\n| ", at + 1))
    {
        std::vector<std::string> cells;  // the text between one bar and the next, without the blanks around it
        for (size_t bar = at + 1, next; (next = text.find('|', bar + 1)) < text.find('\n', at + 1); bar = next)
            cells.push_back(text.substr(bar + 2, next - bar - 3));
        if (cells.size() < 3)
            continue;
        rows.push_back({cells[0], cells[2] == "continues", {}});
        for (size_t open = cells[1].find('`'); open != std::string::npos; open = cells[1].find('`', open + 1))
        {
            const size_t close = cells[1].find('`', open + 1);
            rows.back().forms.push_back(machine::Widen(cells[1].substr(open + 1, close - open - 1)));
            open = close;
        }
    }
    return rows;
}

namespace
{
// Compares expected lines (in order, or in name order when `sorted`) with what happened; empty when they agree.
std::string Differences(const char* what, Lines expected, Lines actual, bool sorted)
{
    auto byName = [](const std::string& a, const std::string& b) { return a.compare(2, a.npos, b, 2, b.npos) < 0; };
    for (std::string& line : expected)
        line = Expand(line);
    if (sorted)
        std::sort(expected.begin(), expected.end(), byName), std::sort(actual.begin(), actual.end(), byName);
    bool same = expected.size() == actual.size();
    for (size_t i = 0; same && i < expected.size(); ++i)
        same = Matches(expected[i].c_str(), actual[i].c_str());
    std::string report;
    if (!same)
    {
        report = std::string("\n  ") + what + " expected:";
        for (const std::string& line : expected)
            report += "\n    " + line;
        report += std::string("\n  ") + what + " seen:";
        for (const std::string& line : actual)
            report += "\n    " + line;
    }
    return report;
}

class RowTest : public testing::Test
{
public:
    explicit RowTest(const Row& row) : row_(row) {}

    void TestBody() override
    {
        if (row_.needsModules && !canListModules)
            GTEST_SKIP() << "this machine cannot list another process's modules";
        machine::Reset();
        machine::RemoveTree(machine::Widen(kLog));
        CreateDirectoryW(machine::Widen(kLog).c_str(), nullptr);
        const std::wstring program = L"C:\\Suite\\Instelix.exe";
        machine::MakeDirs(L"C:\\Suite");
        // A trap for a program that takes the folder's presence for 64-bit Windows.
        CreateDirectoryW(L"C:\\Program Files (x86)", nullptr);
        ASSERT_TRUE(CopyFileW(Fixture("..\\Instelix.exe").c_str(), program.c_str(), FALSE));
        std::vector<std::pair<std::wstring, std::wstring>> environment;
        std::vector<HANDLE> held;
        std::wstring folder = L"C:\\";
        for (const auto& entry : row_.arrange)
        {
            const std::string name = Expand(entry.first), value = Expand(entry.second);
            if (name.rfind("env ", 0) == 0)
            {
                wchar_t expanded[8192];
                ExpandEnvironmentStringsW(machine::Widen(value).c_str(), expanded, ARRAYSIZE(expanded));
                environment.emplace_back(machine::Widen(name.substr(4)), expanded);
            }
            else if (name.rfind("held ", 0) == 0)
                held.push_back(CreateFileW(machine::Widen(name.substr(5)).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
            else if (name == "cwd")
                folder = machine::Widen(value);
            else
                EXPECT_TRUE(machine::Apply(name, value, Fixture(""))) << "arranging " << name;
        }
        const machine::Snapshot before = machine::TakeSnapshot();
        ClearJournal();
        wchar_t saved[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, saved);
        SetCurrentDirectoryW(folder.c_str());
        for (const auto& variable : environment)
            SetEnvironmentVariableW(variable.first.c_str(), variable.second.c_str());
        const std::wstring command = machine::Widen(Expand(row_.command));
        // "!" with a quoted first element names another program; without one the line has no program path.
        const DWORD exitCode = command[0] != L'!' ? RunLine(L"\"" + program + L"\" " + command)
                                                  : RunLine(command.substr(1), 30000, command[1] == L'"' ? L"" : program);
        for (const auto& variable : environment)
            SetEnvironmentVariableW(variable.first.c_str(), nullptr);
        SetCurrentDirectoryW(saved);
        for (HANDLE handle : held)
            CloseHandle(handle);
        // Injected keys reach the recorder after the program has gone.
        const size_t keys = std::count_if(row_.ran.begin(), row_.ran.end(),
                                          [](const std::string& line) { return line.rfind("keys\t", 0) == 0; });
        for (int waited = 0; keys > 0 && waited < 5000 && JournalLines().size() < row_.ran.size(); waited += 50)
            Sleep(50);
        if (keys == 0 && row_.command.find("rotation") != std::string::npos)
            Sleep(300);
        std::string report = exitCode == row_.exitCode
                                 ? ""
                                 : "\n  exit code " + std::to_string(exitCode) + ", expected " +
                                       std::to_string(row_.exitCode);
        report += Differences("changes", row_.changes, machine::CompareSnapshots(before, machine::TakeSnapshot()), true);
        report += Differences("journal", row_.ran, JournalLines(), false);
        report += Differences("log", row_.log, LogEntries(machine::Widen(kLog + "\\em9.Log")), false);
        EXPECT_EQ(report, "") << row_.name;
    }

private:
    Row row_;
};

// Wine raises an exception for every OutputDebugString call. Under a user-mode emulator (kernels without 32-bit
// support) dispatching one in a process with a vectored handler (the thread runtime installs one) corrupts the
// thread, so the test program routes both imports to a no-op; Instelix itself has no such handler.
void WINAPI Ignore(LPCWSTR) {}
}  // namespace

extern "C" void(WINAPI* g_outputDebugStringA)(LPCWSTR) __asm__("__imp__OutputDebugStringA@4");
extern "C" void(WINAPI* g_outputDebugStringW)(LPCWSTR) __asm__("__imp__OutputDebugStringW@4");
void(WINAPI* g_outputDebugStringA)(LPCWSTR) = Ignore;
void(WINAPI* g_outputDebugStringW)(LPCWSTR) = Ignore;

void RegisterRows(const char* suite, const std::vector<Row>& rows)
{
    const Machine here = machine::IsWin64() ? Win64 : Win32;
    for (const Row& row : rows)
    {
        std::string name = row.name;
        std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum(static_cast<unsigned char>(c)); }, '_');
        if (row.machine == Both || row.machine == here)
            testing::RegisterTest(suite, name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                                  [row]() -> testing::Test* { return new RowTest(row); });
    }
}

int main(int argc, char** argv)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    // The machine's own shell and a key recorder run throughout, as on a desktop; a third stand-in shows whether
    // this machine lets one process list another's modules (Wine under a user-mode emulator does not).
    SetEnvironmentVariableW(L"INSTELIX_JOURNAL", kJournal.c_str());
    SetEnvironmentVariableW(L"INSTELIX_OWNER", std::to_wstring(GetCurrentProcessId()).c_str());
    machine::Reset();
    const DWORD shell = machine::StartLingering(L"C:\\instelix-desktop\\explorer.exe", Fixture(""));
    machine::StartLingering(L"C:\\instelix-desktop\\keys.exe", Fixture(""), L"--keys");
    canListModules = RunLine(L"\"" + Fixture("standin.exe") + L"\" --modules " + std::to_wstring(shell), 10000) == 0;
    const int result = RUN_ALL_TESTS();
    // Ending at once keeps library clean-up, which nothing here tests, from holding up the verdict.
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
