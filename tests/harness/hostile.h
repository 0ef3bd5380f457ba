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
struct ModelWalk
{
    UINT exitCode = 0;
    std::vector<std::pair<int, std::wstring>> ran;  // row and argument of every chore, in order
};
ModelWalk WalkModel(const std::vector<std::wstring>& arguments);

// Quotes one argument so that the documented splitting rules give it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);
// The system's split (CommandLineToArgvW).
std::vector<std::wstring> SplitCommandLine(const std::wstring& line);

struct HostileLine
{
    std::wstring text;
    std::vector<std::wstring> intended;  // what the split must give back
    const char* kind = "";
};

// `count` lines of every kind in turn, all harmless in a clean machine; the same seed gives the same lines.
std::vector<HostileLine> HostileCommandLines(uint32_t seed, size_t count);

// Text for failure messages: the first `limit` units, anything outside printable ASCII as \uXXXX.
std::string Printable(const std::wstring& text, size_t limit = 160);
std::string DescribeRan(const std::vector<std::pair<int, std::wstring>>& ran);

// The UTF-16 bytes of `text`, as a registry value holds them.
std::string Utf16Bytes(const std::wstring& text, bool terminated = true);

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

// Arranges the clean machine above before and after (the utility product's key present, so that the driver
// removal refuses at once instead of pausing), and fails the test when the machine still holds what the model
// does not expect (devices left by another test, ...).
class CleanMachine : Tidy
{
public:
    CleanMachine();
};
}  // namespace harness
