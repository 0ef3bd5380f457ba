#pragma once
// The switch table and the walk over the command line's elements.

#include <windows.h>

enum class SwitchId
{
    Pop,
    UpdateDriver,
    DeleteDriverBySettings,
    FlyDriver,
    InstallSvr,
    PhoneCompanion,
    SetRotationOpen,
    SetRotationClose,
    FViewOn,
    FViewGet,
    FViewWait,
    FViewOff,
    IsSupportFView,
    Qmx,
    CloseSettings,
    RotationReg,
};

enum class MatchRule
{
    Exact,     // the whole argument equals a form, case-sensitively
    Contains,  // a form occurs anywhere inside the argument, case-sensitively
};

// What a chore tells the walk: go on with the next element, or end with an exit code.
struct WalkStep
{
    bool ends;
    UINT exitCode;
};

constexpr WalkStep Continue()
{
    return {false, 0};
}

constexpr WalkStep EndWith(UINT exitCode)
{
    return {true, exitCode};
}

// A chore receives the current argument (only the usage-mode chore looks at it).
using Chore = WalkStep (*)(const wchar_t* argument);

struct SwitchRow
{
    SwitchId id;
    const wchar_t* forms[4];  // unused slots are null
    MatchRule rule;
    Chore chore;
};

// The first row of `table` that `argument` selects, testing rows and their forms in order; null when none.
const SwitchRow* FindSwitch(const SwitchRow* table, size_t rows, const wchar_t* argument);

// Tests each element in order against `table` and runs the chosen chores; the first ending chore's exit code is
// the result, otherwise 0.
UINT WalkArguments(int count, wchar_t* const* arguments, const SwitchRow* table, size_t rows);

// Walks the array that CommandLineToArgvW gave with the program's table and releases it; 10 when there is no array.
UINT WalkSplitArguments(wchar_t** arguments, int count);

// Splits `commandLine` and walks it with the program's table; 10 when it cannot be split.
UINT RunCommandLine(const wchar_t* commandLine);
