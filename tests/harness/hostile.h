#pragma once
// Hostile command lines and a model of what the switch table makes of them, written from the table's published
// rules (not from the product's matcher), for a clean machine: no suite files, tools, libraries, devices, suite
// or rotation keys and no log folder. There every switch either lets the walk go on or ends it at once without
// changing anything.

#include <windows.h>

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "harness/harness.h"

namespace harness
{
constexpr size_t kCommandLineLimit = 32766;  // CreateProcessW's limit, without the terminator

struct ModelRow
{
    const wchar_t* forms[4];
    bool contains;   // the form may stand anywhere inside the argument
    int endsWith;    // exit code of the ending chore in a clean machine; -1: the walk goes on
};

extern const ModelRow kSwitchModel[16];
constexpr int kRowFViewWait = 10;  // waits for the desktop shell: never generated
constexpr int kRowQmx = 13;

// The first row that selects `argument`, or -1.
int ModelRowFor(const std::wstring& argument);

struct ModelWalk
{
    UINT exitCode = 0;
    std::vector<std::pair<int, std::wstring>> ran;  // row and argument of every chore, in order
};
ModelWalk WalkModel(const std::vector<std::wstring>& arguments);

// Quotes one argument so that the documented splitting rules give it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);
// Element 0 follows the program-name rule (it ends at the next quote or blank, with no escapes).
std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments);
// The system's split (CommandLineToArgvW).
std::vector<std::wstring> SplitCommandLine(const std::wstring& line);

struct HostileLine
{
    std::wstring text;
    std::vector<std::wstring> intended;  // what the split must give back; empty for raw text
    const char* kind = "";
};

// `count` lines of every kind in turn, all harmless in a clean machine; the same seed gives the same lines.
std::vector<HostileLine> HostileCommandLines(uint32_t seed, size_t count);

// One line for failure messages: kind, length, argument count and the first characters (escaped).
std::string DescribeLine(const HostileLine& line);
std::string DescribeRan(const std::vector<std::pair<int, std::wstring>>& ran);

// Gives a key under HKEY_LOCAL_MACHINE (created when missing) the access rules `sddl` for the life of the object,
// then opens it to everyone again so that tests can remove it. Wine enforces registry access rules like Windows.
class ScopedKeyAccess
{
public:
    ScopedKeyAccess(View view, const std::wstring& subKey, const wchar_t* sddl);
    ~ScopedKeyAccess();
    ScopedKeyAccess(const ScopedKeyAccess&) = delete;
    ScopedKeyAccess& operator=(const ScopedKeyAccess&) = delete;

private:
    View view_;
    std::wstring subKey_;
};

// Arranges the clean machine above for the life of the object, and cleans again afterwards. The utility product's
// key is present, so that the driver removal refuses at once instead of pausing.
class CleanMachine
{
public:
    CleanMachine();
    ~CleanMachine();
    // What the machine still holds that the model does not expect (devices left by another test, ...).
    std::vector<std::string> Leftovers() const;
};
}  // namespace harness
