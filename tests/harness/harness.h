#pragma once
// What the tests share: the sandbox's engine (tools/sandbox) seen through GoogleTest.
//
// The test program keeps to one thread, as Instelix does. Where a user-mode emulator runs Wine's 32-bit side, all
// threads of a process share one thread-area descriptor, which holds the TEB of the thread started last; the next
// signal the main thread takes (the server suspending it, say) reloads it from there, and the main thread goes on
// as the other thread: it reads that thread's server replies and hangs or dies. GoogleTest starts a thread of its own
// at the first SCOPED_TRACE, skip or failure, so the tests use neither traces nor threads, and a run that passes with
// a second thread fails everywhere. After a failure on such a machine the runner (wine-run.sh) ends a hung case and
// goes on in a new process.
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
