#pragma once
// A case is a row: the machine; what is arranged, as entries in the notation of machine_state.h plus "env NAME",
// "held PATH" (open for reading), "locked PATH" (open and locked far past its end), "link PATH" and "symlink PATH"
// (a hard or symbolic link to the file or folder the value names), "cwd" and "running IMAGE" (that many stand-ins
// running under that name); the command line after the program's quoted path ("!" first: the whole line); and what
// must follow: the exit code, the machine's changes (any order), the journal of programs started, library calls and
// keys pressed (in order), and the log's entries ("error| message"). Texts may hold {PF} (this machine's Program
// Files), {PFO} (the other one), {ARCH} (x64 or x86), {64} and {32} (a view's label, empty on 32-bit Windows) and
// {FIX} (the stand-ins' folder); "*" in an expected line stands for any text.
#include <gtest/gtest.h>

#include "machine_state.h"

using Lines = std::vector<std::string>;
using Entries = std::vector<std::pair<std::string, std::string>>;
const int Both = 0, Win64 = 1, Win32 = 2;

struct Row
{
    const char* name;
    int machine;
    Entries arrange;
    std::string command;
    DWORD exitCode;
    Lines changes, ran, log;
    bool needsModules;
};

// Registers one test per row meant for this machine; the suite's name is `suite`.
bool RegisterRows(const char* suite, const std::vector<Row>& rows);

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b)
{
    return a.insert(a.end(), b.begin(), b.end()), a;
}

std::string Expand(std::string text);
std::wstring Fixture(const std::string& name);  // in the build's fixtures folder
inline const std::wstring kProgram = Fixture("..\\Instelix.exe");
inline const std::string kBin = "C:\\Program Files\\Tesmar\\Orvane Tuner\\bin", kSys = "C:\\Windows\\System32";
inline const std::string kSettingsKey = "HKLM\\SOFTWARE\\Tesmar\\Tesmar Settings";
inline const std::wstring kLogFile = L"D:\\DeviceControl\\em9.Log";
// Starts `line` (with `program` as the program when given): its process handle, null when it cannot start. RunLine
// waits up to 30 s for it and gives its exit code, 0xDEAD when it had to be ended.
HANDLE Start(const std::wstring& line, const std::wstring& program = L"");
DWORD RunLine(const std::wstring& line, const std::wstring& program = L"");
Lines JournalLines(size_t atLeast = 0);  // waits up to 5 s for `atLeast` lines
void ClearJournal();
// A log's entries; a layout fault, or when `oneRun` a line numbered out of turn, fails the calling test.
Lines LogEntries(const std::wstring& path = kLogFile, bool oneRun = true);
bool Matches(const char* pattern, const char* text);
