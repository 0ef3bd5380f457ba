#pragma once
// The runner of the cases: the rows of tests/rows.txt (its head describes them) and tables built here in C++.
#include <gtest/gtest.h>

#include "machine_state.h"

using Lines = std::vector<std::string>;
using Entries = std::vector<std::pair<std::string, std::string>>;
const int Both = 0, Win64 = 1, Win32 = 2;

struct Row
{
    std::string name;
    int machine;
    Entries arrange;
    std::string command;
    DWORD exitCode;
    Lines changes, ran, log;
    bool needsModules;
};

// Registers one test per row meant for this machine; the suite's name is `suite`.
bool RegisterRows(const std::string& suite, const std::vector<Row>& rows);
std::string Expand(std::string text);           // the runner's tokens ({PF}, {64}, ...) in `text`
std::wstring Fixture(const std::string& name);  // in the build's fixtures folder
inline const std::wstring kProgram = Fixture("..\\Instelix.exe");
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
