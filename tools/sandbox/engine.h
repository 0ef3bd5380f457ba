#pragma once
// The sandbox's engine: arranges the stand-in machine from items in the notation of machine_state.h, runs
// Instelix.exe with a command line, and observes what the run did. A single "what if" run and every case of a case
// file go through the same code.
#include <windows.h>

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
// "held PATH", "locked PATH", "link PATH = FILE", "symlink PATH = TARGET", "cwd = FOLDER" or
// "running IMAGE = COUNT".
struct Item
{
    std::string kind;  // "entry", "env", "held", "locked", "link", "symlink", "cwd" or "running"
    std::string name;  // the entry, variable, path or image
    std::string value;
    std::string text;  // as written
};

// False, with `error` naming the item and what is wrong, when `text` is no item that this machine can take.
bool ParseItem(const std::string& text, Item& item, std::string& error);

// What a run has arranged beyond the machine picture: variables, open files, links, the current folder and
// lingering programs. Variables, open files and links are undone when it ends.
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

private:
    std::vector<std::wstring> variables;
    std::vector<std::wstring> links;
    std::vector<HANDLE> held;
    std::wstring folder = L"C:\\";
    bool startedPrograms = false;
    int lingering = 0;
};

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

// How a run is waited for: `limitMs` (then the program is ended), `stop` (an event that ends it early) and
// `progress` (called every five seconds of waiting with the seconds waited).
struct Waiting
{
    DWORD limitMs = INFINITE;
    HANDLE stop = nullptr;
    void (*progress)(int seconds) = nullptr;
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

// One run of the program on the machine as it stands, from `arrangement`'s folder: what the machine looked like
// before, and the exit code.
class Run
{
public:
    Run(const CommandLine& command, const Arrangement& arrangement, const Waiting& waiting);
    // What the run did, as far as the machine shows it now; waits up to 5 s for `journalLines` lines.
    Outcome Observe(size_t journalLines = 0) const;

private:
    machine::Snapshot before;
    std::string logBefore;
    Ending ending;
};
}  // namespace sandbox
