#pragma once
// The sandbox's engine: arranges the stand-in machine from items in the notation of machine_state.h, runs
// Instelix.exe with a command line, and observes what the run did. A single "what if" run and every case of a case
// file go through the same code.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "machine_state.h"

namespace sandbox
{
using Lines = std::vector<std::string>;

// The folder of this program, ending in a backslash.
std::wstring ProgramFolder();
// The folder of the stand-in programs and libraries (ending in a backslash); Instelix.exe is in its parent.
void UseStandins(const std::wstring& folder);
const std::wstring& Standins();
// The build of Instelix that runs: the one beside the stand-ins' folder, or the one INSTELIX_PROGRAM names (another
// build of the same sources).
std::wstring ProgramUnderTest();
// Where the engine puts the program for a run.
extern const wchar_t kProgramPath[];
extern const wchar_t kLogFile[];
extern const wchar_t kJournal[];

// What differs between the machines: {PF} (this machine's Program Files), {PFO} (the other one), {ARCH} (x64 or x86),
// {64} and {32} (a registry view's label, empty on 32-bit Windows), {FIX} (the stand-ins' folder), {CRLF}.
std::string ExpandMachineTokens(std::string text);
std::string Replace(std::string text, const std::string& token, const std::string& by);
// The parts of `text` between separators; a separator at the end leaves no empty part.
Lines Split(const std::string& text, const std::string& separator);
// "*" in `pattern` stands for any text.
bool Matches(const char* pattern, const char* text);
// `text` is a decimal number from 0 to `most`.
bool IsDecimal(const std::string& text, unsigned long long most);

// One arranged item, read from "NAME = VALUE" (an entry of the machine picture), "env NAME = VALUE",
// "held PATH", "locked PATH", "link PATH = FILE", "symlink PATH = TARGET", "cwd = FOLDER",
// "running IMAGE = COUNT", "shell Win+O = N ms" (or "off"), "beside = COMMAND LINE" or "at N ms: ITEM" (ITEM may
// also be "stop").
struct Item
{
    // "entry", "env", "held", "locked", "link", "symlink", "cwd", "running", "shell", "beside", "at" or "stop"
    std::string kind;
    std::string name;   // the entry, variable, path or image; for "at", the milliseconds
    std::string value;  // for "at", the item
    std::string text;   // as written
};

// False, with `error` naming the item and what is wrong, when `text` is no item that this machine can take.
bool ParseItem(const std::string& text, Item& item, std::string& error);

// What a run has arranged beyond the machine picture: variables, open files, links, the current folder, lingering
// programs, the shell's delay, programs beside the run and what happens while it runs. Variables, open files, links
// and the shell's delay are undone when it ends.
class Arrangement
{
public:
    Arrangement() = default;
    Arrangement(const Arrangement&) = delete;
    Arrangement& operator=(const Arrangement&) = delete;
    ~Arrangement();

    // False, with `error` set, when the item could not be made true.
    bool Apply(const Item& item, std::string& error);
    const std::wstring& Folder() const { return folder; }
    bool StartedPrograms() const { return startedPrograms; }
    // When the run is to be ended, in milliseconds after its start; INFINITE when no "at N ms: stop" says.
    DWORD StopMs() const { return stopMs; }
    // Applies the "at" items due `elapsedMs` after the run's start: when the next is due, INFINITE after the last.
    DWORD ApplyDue(DWORD elapsedMs);
    // Ends the programs started beside the run.
    void EndBeside();

private:
    std::vector<std::wstring> variables;
    std::vector<std::wstring> links;
    std::vector<HANDLE> held;
    std::vector<HANDLE> beside;
    std::vector<HANDLE> lingering;
    std::vector<std::pair<DWORD, Item>> timed;
    size_t applied = 0;
    std::wstring folder = L"C:\\";
    bool startedPrograms = false;
    bool shellChanged = false;
    DWORD stopMs = INFINITE;
};

// How long the desktop's shell takes to act on Windows key + O (it flips "Enable" under AutoRotation in the 64-bit
// view), or kShellOff; the sandbox process and its key recorder share it.
constexpr DWORD kShellOff = INFINITE;
constexpr DWORD kShellDelayMs = 200;
DWORD ShellDelay();
void SetShellDelay(DWORD ms);
void ResetShellDelay();
// The event that the key recorder holds set while no flip is pending.
std::wstring ShellIdleEvent();

// Starts a copy of the stand-in `program` at `path` with `argument` and gives its process id once it has fully
// started; 0 when it could not be started. It runs until ended or until this process has gone.
DWORD StartLingering(const std::wstring& path, const std::wstring& program, const std::wstring& argument);

// The desktop a run needs: a shell (a lingering stand-in named explorer.exe) and a recorder that journals the keys
// the program injects. Both end with this process.
class Desktop
{
public:
    Desktop();
    // Whether this machine lets one process list another's modules (Wine under a user-mode emulator does not).
    bool CanListModules() const { return canListModules; }

private:
    bool canListModules = false;
};

struct Outcome
{
    DWORD exitCode = 0;
    bool stopped = false;  // ended from outside before it exited
    Lines changes;         // as machine::CompareSnapshots gives them
    Lines journal;         // "NAME: call"
    Lines log;             // "error| message" or "Debug| message"
    std::string logFault;  // what is wrong with the log's layout; empty when nothing is
};

// How a run is waited for: `limitMs` (then the program is ended), `stop` (an event that ends it early),
// `progress` (called every five seconds of waiting with the seconds waited) and `timeline` (called with the
// milliseconds since the start when something is due; it gives when the next thing is, INFINITE for nothing).
struct Waiting
{
    DWORD limitMs = INFINITE;
    HANDLE stop = nullptr;
    void (*progress)(int seconds) = nullptr;
    std::function<DWORD(DWORD elapsedMs)> timeline;
};

// Starts `line` (with `program` as the program when given): its process handle, null when it cannot start.
HANDLE Start(const std::wstring& line, const std::wstring& program = L"");
// How a program run by RunLine ended: its exit code, or 0xDEAD when it could not start or had to be ended.
struct Ending
{
    bool started = false;
    bool stopped = false;
    DWORD exitCode = 0xDEAD;
};
// Runs `line` as Start does and waits as `waiting` says.
Ending RunLine(const std::wstring& line, const std::wstring& program, const Waiting& waiting);

// The journal's lines; waits up to 5 s for `atLeast` of them.
Lines JournalLines(size_t atLeast = 0);
void ClearJournal();
// The entries of a log's bytes ("error| message"); false, with `fault` set, when the layout is broken or, with
// `oneRun`, an entry is numbered out of turn. `entries` holds those read until then.
bool ReadLogEntries(const std::string& bytes, bool oneRun, Lines& entries, std::string& fault);

// A command line as a case writes it: the program's quoted path comes first unless `command` starts with "!", which
// makes the rest the whole line; a whole line without a quoted first element has no program path.
struct CommandLine
{
    std::wstring line;
    std::wstring program;  // empty when the line names its program
};
CommandLine CaseCommandLine(const std::string& command);

// One run of the program on the machine as it stands, from `arrangement`'s folder, with its "at" items applied and
// its programs beside ended when it ends: what the machine looked like before, and the exit code.
class Run
{
public:
    Run(const CommandLine& command, Arrangement& arrangement, Waiting waiting);
    // What the run did, as far as the machine shows it now; waits up to 5 s for `journalLines` lines.
    Outcome Observe(size_t journalLines = 0) const;

private:
    machine::Snapshot before;
    std::string logBefore;
    Ending ending;
};
}  // namespace sandbox
