#pragma once
// What the tests share: the sandbox's engine (tools/sandbox) seen through GoogleTest.
//
// The test program keeps to one thread, as Instelix does: under qemu's user mode a signal to the main thread gives it
// the TEB of the newest thread, and it then reads that thread's server replies and hangs. GoogleTest starts a thread
// at the first SCOPED_TRACE, skip or failure; main() fails a passing run that has a second thread.
#include <gtest/gtest.h>

#include "engine.h"

using sandbox::ClearJournal;
using sandbox::JournalLines;
using sandbox::Lines;
using sandbox::Matches;
using sandbox::Start;

std::wstring Fixture(const std::string& name);  // in the build's fixtures folder
inline const std::wstring kProgram = Fixture("..\\Instelix.exe");
inline const std::wstring kLogFile = sandbox::kLogFile;
inline const std::string kSettingsKey = "HKLM\\SOFTWARE\\Tesmar\\Tesmar Settings";

inline std::string Expand(const std::string& text)
{
    return sandbox::ExpandMachineTokens(text);
}

// Runs `line` (with `program` as the program when given) for up to 30 s: its exit code, 0xDEAD when it had to be
// ended; a program that cannot start fails the test.
DWORD RunLine(const std::wstring& line, const std::wstring& program = L"");
// A log's entries ("error| message"); a layout fault, or when `oneRun` a line numbered out of turn, fails the test.
Lines LogEntries(const std::wstring& path = kLogFile, bool oneRun = true);
