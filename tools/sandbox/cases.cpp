#include "cases.h"

#include <algorithm>
#include <map>

namespace sandbox
{
namespace
{
struct SourceLine
{
    int number;
    std::string text;
};

// The file's lines with continuations joined (a continuation keeps one blank before its text), without comments and
// empty lines.
bool JoinLines(const std::string& text, const std::string& file, std::vector<SourceLine>& joined, std::string& error)
{
    const Lines physical = Split(text, "\n");
    for (size_t index = 0; index < physical.size(); ++index)
    {
        std::string line = physical[index];
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos || line[0] == '#')
            continue;
        const int number = static_cast<int>(index) + 1;
        if (first == 0)
        {
            joined.push_back({number, line});
            continue;
        }
        if (joined.empty())
        {
            error = file + ":" + std::to_string(number) + ": a continuation without a line before it";
            return false;
        }
        joined.back().text += line.substr(first - 1);
    }
    return true;
}

std::string UndefinedName(const std::string& line)
{
    const size_t open = line.find('{');
    if (open == std::string::npos)
        return "";
    const size_t close = line.find('}', open);
    if (close == std::string::npos)
        return line.substr(open);
    return line.substr(open, close - open + 1);
}

// Reads the fields of a case line; empty when they are right, else what is wrong.
std::string ReadFields(const std::string& line, Case& found, bool& forThisMachine)
{
    Lines fields = Split(line, " |");  // an empty field leaves " | |"
    if (fields.size() < 5 || fields.size() > 8)
        return std::to_string(fields.size()) + " fields; a case has 5 to 8 (name | machine | arranged | " +
               "command line | exit code | changes | journal | log)";
    fields.resize(8);
    for (std::string& field : fields)
    {
        if (!field.empty() && field[0] == ' ')
            field.erase(0, 1);
    }
    const Lines machine = Split(fields[1], " ");
    const bool known = !machine.empty() && (machine[0] == "both" || machine[0] == "64" || machine[0] == "32");
    if (fields[0].empty())
        return "a case without a name";
    if (!known || machine.size() > 2 || (machine.size() == 2 && machine[1] != "modules"))
        return "machine \"" + fields[1] + "\": expected both, 64 or 32, then \"modules\" if the case needs them";
    found.stopped = fields[4] == "stopped";
    if (!found.stopped && !IsDecimal(fields[4], 0xFFFFFFFFull))
        return "exit code \"" + fields[4] + "\": expected a number or \"stopped\"";
    forThisMachine = machine[0] == "both" || (machine[0] == "64") == machine::IsWin64();
    found.title += fields[0];
    found.needsModules = machine.size() == 2;
    found.command = fields[3];
    found.exitCode = found.stopped ? 0 : static_cast<DWORD>(std::stoull(fields[4]));
    found.changes = Split(fields[5], " ; ");
    found.journal = Split(fields[6], " ; ");
    found.log = Split(fields[7], " ; ");
    for (const std::string& text : Split(fields[2], " ; "))
    {
        Item item;
        std::string error;
        // An item can be read only on the machine it is meant for (a registry view's label, for one).
        if (forThisMachine && !ParseItem(text, item, error))
            return error;
        found.arranged.push_back(item);
    }
    return "";
}

std::string Listed(const Lines& lines)
{
    if (lines.empty())
        return "    none\n";
    std::string text;
    for (const std::string& line : lines)
        text += "    " + line + "\n";
    return text;
}

// A list expected (in order, or in name order when `sorted`) against what was seen: empty when they agree.
std::string ListDifferences(const std::string& what, Lines expected, Lines seen, bool sorted)
{
    auto byName = [](const std::string& a, const std::string& b) { return a.compare(2, a.npos, b, 2, b.npos) < 0; };
    if (sorted)
    {
        std::sort(expected.begin(), expected.end(), byName);
        std::sort(seen.begin(), seen.end(), byName);
    }
    bool same = expected.size() == seen.size();
    for (size_t i = 0; same && i < expected.size(); ++i)
        same = Matches(expected[i].c_str(), seen[i].c_str());
    if (same)
        return "";
    return "  " + what + " expected:\n" + Listed(expected) + "  " + what + " seen:\n" + Listed(seen);
}

std::string Differences(const Case& check, const Outcome& outcome)
{
    std::string report;
    const std::string expected = check.stopped ? "still running when stopped" : std::to_string(check.exitCode);
    if (outcome.stopped && !check.stopped)
        report += "  still running when it was ended, expected exit code " + expected + "\n";
    else if (!outcome.stopped && (check.stopped || outcome.exitCode != check.exitCode))
        report += "  exit code " + std::to_string(outcome.exitCode) + ", expected " + expected + "\n";
    report += ListDifferences("changes", check.changes, outcome.changes, true);
    report += ListDifferences("journal", check.journal, outcome.journal, false);
    if (!outcome.logFault.empty())
        report += "  " + outcome.logFault + "\n";
    report += ListDifferences("log", check.log, outcome.log, false);
    return report;
}

// A machine without the suite, the log folder present and the program at C:\Suite.
bool PrepareMachine()
{
    machine::Reset();
    machine::RemoveTree(L"C:\\instelix-running");  // so that a stand-in takes the letter case its case gives
    const std::wstring program = ProgramUnderTest();
    const bool ready = machine::Apply("D:\\DeviceControl", "folder", L"") &&
                       machine::Apply("C:\\Suite", "folder", L"") && CopyFileW(program.c_str(), kProgramPath, FALSE);
    // A trap on 32-bit Windows for a program that trusts this folder to be the other Program Files.
    CreateDirectoryW(L"C:\\Program Files (x86)", nullptr);
    return ready;
}
}  // namespace

bool ReadCases(const std::string& text, const std::string& file, std::vector<Case>& cases, size_t& elsewhere,
               std::string& error)
{
    elsewhere = 0;
    std::vector<SourceLine> lines;
    if (!JoinLines(text, file, lines, error))
        return false;
    std::map<std::string, std::string> defined;
    std::string table;
    std::vector<Case> found;
    for (const SourceLine& source : lines)
    {
        // A definition names itself before " = ": read the name before anything is replaced.
        const size_t is = source.text.find(" = ");
        const bool definition = source.text[0] == '{' && is != std::string::npos && source.text[is - 1] == '}';
        std::string line = definition ? source.text.substr(is + 3) : source.text;
        for (const auto& [token, by] : defined)
            line = Replace(line, token, by);
        line = ExpandMachineTokens(line);
        const std::string where = file + ":" + std::to_string(source.number);
        std::string fault;
        bool forThisMachine = false;
        Case check;
        check.where = where;
        check.title = table.empty() ? "" : table + ": ";
        if (definition)
            defined[source.text.substr(0, is)] = line;
        else if (line[0] == '[' && line.back() == ']')
            table = line.substr(1, line.size() - 2);
        else if (!UndefinedName(line).empty())
            fault = "nothing defines " + UndefinedName(line);
        else
            fault = ReadFields(line, check, forThisMachine);
        if (!fault.empty())
        {
            error = where + ": " + fault;
            return false;
        }
        if (forThisMachine)
            found.push_back(check);
        else if (!definition && line[0] != '[')
            ++elsewhere;
    }
    cases = found;
    return true;
}

std::string CheckCase(const Case& check, const Desktop& desktop, bool& skipped)
{
    skipped = check.needsModules && !desktop.CanListModules();
    if (skipped)
        return "";
    if (!PrepareMachine())
        return "  the machine could not be prepared\n";
    Arrangement arrangement;
    std::string error;
    for (const Item& item : check.arranged)
    {
        if (!arrangement.Apply(item, error))
            return "  " + error + "\n";
    }
    Waiting waiting;
    waiting.limitMs = 30000;
    const Run run(CaseCommandLine(check.command), arrangement, waiting);
    // Injected keys reach the recorder after the program has gone: wait for as many as the case expects.
    const bool keys = std::any_of(check.journal.begin(), check.journal.end(),
                                  [](const std::string& line) { return line.rfind("keys: ", 0) == 0; });
    const size_t journalLines = keys ? check.journal.size() : 0;
    std::string report = Differences(check, run.Observe(journalLines));
    // An ended process can still be listed for a moment after the program has gone.
    for (int waited = 0; arrangement.StartedPrograms() && !report.empty() && waited < 3000; waited += 100)
    {
        Sleep(100);
        report = Differences(check, run.Observe(journalLines));
    }
    return report;
}
}  // namespace sandbox
