#pragma once
// Case files: one case a line, "name | machine | arranged | command line | exit code | changes | journal | log".
// Lists are separated by " ; "; a line that starts with blanks continues the one before; "[Name]" starts a table;
// "{NAME} = text" defines what {NAME} stands for below; "#" starts a comment line. docs/sandbox.md describes them.
#include <string>
#include <vector>

#include "engine.h"

namespace sandbox
{
struct Case
{
    std::string where;  // "FILE:LINE"
    std::string title;  // "Table: name"
    bool needsModules = false;
    std::vector<Item> arranged;
    std::string command;
    DWORD exitCode = 0;
    bool stopped = false;  // expected to be running still when "at N ms: stop" ends it
    Lines changes;         // any order
    Lines journal;         // in order
    Lines log;             // in order
};

// The cases of `text` meant for this machine, and in `elsewhere` how many are for the other one only. False, with
// `error` naming the file and line and what is wrong, when any line of the file cannot be read; then no case is given.
bool ReadCases(const std::string& text, const std::string& file, std::vector<Case>& cases, size_t& elsewhere,
               std::string& error);

// Runs a case on a machine reset to one without the suite (the log folder present, the program at C:\Suite): every
// difference from what the case expects, one an indented line; empty when the run agrees. `skipped` when this
// machine cannot run the case.
std::string CheckCase(const Case& check, const Desktop& desktop, bool& skipped);
}  // namespace sandbox
