// Times programs from start to exit inside the machine that runs them, where the clock is most precise:
//   benchrun PLAN RESULTS [ALONGSIDE]
// ALONGSIDE is a command line started before the first run and ended after the last, such as a stand-in desktop
// shell for the chores that wait for one.
// PLAN holds one case a line, UTF-8, fields separated by tabs:
//   label  repetitions  memory-runs  command-run-untimed-before-each-run (or empty)  command-line
// Every case runs once untimed first (when it has more than one repetition); then the cases take turns, one run
// each, so that a slow spell of the machine spreads over all of them instead of spoiling one. The peak working
// set is taken in separate runs (memory-runs of them, 0 for none), which watch the program while it runs.
// RESULTS gets one line a case, tab-separated: label, runs, median, min, max, first and third quartile (ms),
// median peak working set (KiB; -1 when the system reports none), the first run's exit code, how many runs gave
// another exit code, and how many runs could not be started or had to be ended.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace
{
constexpr DWORD kRunLimitMs = 120000;

struct Case
{
    std::wstring label;
    int repetitions = 0;
    int memoryRuns = 0;
    std::wstring before;
    std::wstring commandLine;
    std::vector<double> milliseconds;
    std::vector<double> peakKib;
    std::vector<DWORD> exitCodes;
    int failures = 0;
};

struct Run
{
    bool finished = false;
    double milliseconds = 0;
    double peakKib = -1;
    DWORD exitCode = 0;
};

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                        static_cast<int>(wide.size()));
    return wide;
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    std::string narrow(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr),
        '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0],
                        static_cast<int>(narrow.size()), nullptr, nullptr);
    return narrow;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::wstring::npos; start = end + 1)
        parts.push_back(text.substr(start, end - start));
    parts.push_back(text.substr(start));
    return parts;
}

bool ReadPlan(const std::wstring& path, std::vector<Case>* cases)
{
    for (std::wstring line : Split(FromUtf8(ReadFileBytes(path)), L'\n'))
    {
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (line.empty())
            continue;
        const std::vector<std::wstring> fields = Split(line, L'\t');
        if (fields.size() != 5 || _wtoi(fields[1].c_str()) < 1)
            return false;
        Case entry;
        entry.label = fields[0];
        entry.repetitions = _wtoi(fields[1].c_str());
        entry.memoryRuns = _wtoi(fields[2].c_str());
        entry.before = fields[3];
        entry.commandLine = fields[4];
        cases->push_back(entry);
    }
    return !cases->empty();
}

double Now()
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double PeakKib(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    if (!K32GetProcessMemoryInfo(process, &counters, sizeof(counters)))
        return -1;
    return counters.PeakWorkingSetSize > 0 ? static_cast<double>(counters.PeakWorkingSetSize) / 1024.0 : -1;
}

// Starts the command line and waits for its end; with `watchMemory` the peak working set is read all the while.
Run RunOnce(const std::wstring& commandLine, bool watchMemory = false)
{
    Run run;
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const double start = Now();
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return run;
    DWORD waited;
    if (watchMemory)
    {
        // Wine: the counters are the host process's, gone once the program has ended, so they are read while it
        // runs, and once more after the end for a system that keeps them.
        while ((waited = WaitForSingleObject(process.hProcess, 0)) == WAIT_TIMEOUT && Now() - start < kRunLimitMs)
            run.peakKib = std::max(run.peakKib, PeakKib(process.hProcess));
        run.peakKib = std::max(run.peakKib, PeakKib(process.hProcess));
    }
    else
    {
        waited = WaitForSingleObject(process.hProcess, kRunLimitMs);
    }
    run.milliseconds = Now() - start;
    if (waited == WAIT_OBJECT_0)
    {
        run.finished = true;
        GetExitCodeProcess(process.hProcess, &run.exitCode);
    }
    else
    {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

void RunCase(Case& entry, bool timed)
{
    if (!entry.before.empty())
        RunOnce(entry.before);
    const Run run = RunOnce(entry.commandLine);
    if (!timed)
        return;
    if (!run.finished)
    {
        ++entry.failures;
        return;
    }
    entry.milliseconds.push_back(run.milliseconds);
    entry.exitCodes.push_back(run.exitCode);
}

void MeasureMemory(Case& entry)
{
    for (int run = 0; run < entry.memoryRuns; ++run)
    {
        if (!entry.before.empty())
            RunOnce(entry.before);
        const double peakKib = RunOnce(entry.commandLine, true).peakKib;
        if (peakKib >= 0)
            entry.peakKib.push_back(peakKib);
    }
}

// The value at `fraction` of the sorted values, between neighbours where it falls between two.
double Quantile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const double position = fraction * static_cast<double>(values.size() - 1);
    const size_t below = static_cast<size_t>(position);
    const size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
}

std::string ResultLine(const Case& entry)
{
    const std::vector<double>& times = entry.milliseconds;
    const DWORD firstExit = entry.exitCodes.empty() ? 0 : entry.exitCodes.front();
    const long otherExits = std::count_if(entry.exitCodes.begin(), entry.exitCodes.end(),
                                          [firstExit](DWORD code) { return code != firstExit; });
    char numbers[256];
    std::snprintf(numbers, sizeof(numbers), "\t%u\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.0f\t%lu\t%ld\t%d\n",
                  static_cast<unsigned>(times.size()), Quantile(times, 0.5), Quantile(times, 0), Quantile(times, 1),
                  Quantile(times, 0.25), Quantile(times, 0.75), Quantile(entry.peakKib, 0.5),
                  static_cast<unsigned long>(firstExit), otherExits, entry.failures);
    return ToUtf8(entry.label) + numbers;
}
}  // namespace

int main()
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 3 || count > 4)
    {
        std::fprintf(stderr, "usage: benchrun PLAN RESULTS [ALONGSIDE]\n");
        return 2;
    }
    std::vector<Case> cases;
    if (!ReadPlan(arguments[1], &cases))
    {
        std::fprintf(stderr, "benchrun: cannot read the plan\n");
        return 2;
    }
    PROCESS_INFORMATION alongside = {};
    if (count == 4)
    {
        std::wstring commandLine = arguments[3];
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &alongside))
        {
            std::fprintf(stderr, "benchrun: cannot start the program to run alongside\n");
            return 2;
        }
    }
    for (Case& entry : cases)
    {
        if (entry.repetitions > 1)
            RunCase(entry, false);
    }
    int rounds = 0;
    for (const Case& entry : cases)
        rounds = std::max(rounds, entry.repetitions);
    for (int round = 0; round < rounds; ++round)
    {
        for (Case& entry : cases)
        {
            if (round < entry.repetitions)
                RunCase(entry, true);
        }
    }
    for (Case& entry : cases)
        MeasureMemory(entry);
    if (alongside.hProcess != nullptr)
    {
        TerminateProcess(alongside.hProcess, 0);
        WaitForSingleObject(alongside.hProcess, INFINITE);
        CloseHandle(alongside.hThread);
        CloseHandle(alongside.hProcess);
    }
    std::string results;
    for (const Case& entry : cases)
        results += ResultLine(entry);
    HANDLE file = CreateFileW(arguments[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, results.data(), static_cast<DWORD>(results.size()), &written, nullptr);
    CloseHandle(file);
    LocalFree(arguments);
    return 0;
}
