#pragma once
// The runner of the cases in tests/rows.txt (its head describes a row), and what the other tests share with it.
#include <gtest/gtest.h>

#include "machine_state.h"

using Lines = std::vector<std::string>;

std::string Expand(std::string text);           // the runner's tokens ({PF}, {64}, ...) in `text`
std::wstring Fixture(const std::string& name);  // in the build's fixtures folder
inline const std::wstring kProgram = Fixture("..\\Instelix.exe"), kLogFile = L"D:\\DeviceControl\\em9.Log";
inline const std::string kSettingsKey = "HKLM\\SOFTWARE\\Tesmar\\Tesmar Settings";
// Starts `line` (with `program` as the program when given): its process handle, null when it cannot start. RunLine
// waits up to 30 s for it and gives its exit code, 0xDEAD when it had to be ended.
HANDLE Start(const std::wstring& line, const std::wstring& program = L"");
DWORD RunLine(const std::wstring& line, const std::wstring& program = L"");
Lines JournalLines(size_t atLeast = 0);  // "name: call" lines; waits up to 5 s for `atLeast` of them
void ClearJournal();
// A log's entries ("error| message"); a layout fault, or when `oneRun` a line numbered out of turn, fails the test.
Lines LogEntries(const std::wstring& path = kLogFile, bool oneRun = true);
bool Matches(const char* pattern, const char* text);
