#include "app/switches.h"

#include <shellapi.h>
#include <wchar.h>

#include "app/exit_codes.h"
#include "drivers/acpi_driver.h"
#include "drivers/vhid_driver.h"
#include "features/reading_mode.h"
#include "features/rotation.h"
#include "features/suite_programs.h"
#include "features/usage_mode.h"
#include "service/hotspot_service.h"
#include "support/process.h"
#include "support/unique.h"

namespace
{
// The reading-mode chores go on with the walk, but end it with 0 when their library or entry point is missing.
WalkStep ReadingModeStep(bool libraryAvailable)
{
    return libraryAvailable ? Continue() : EndWith(kExitNoChoreResult);
}

const SwitchRow kSwitchTable[] = {
    {SwitchId::Pop,
     {L"/POP", L"/pop", L"-POP", L"-pop"},
     MatchRule::Exact,
     [](const wchar_t*) {
         LaunchToastProgram();
         return EndWith(kExitNoChoreResult);
     }},
    {SwitchId::UpdateDriver,
     {L"/UPDATEDRIVER", L"UPDATEDRIVER", L"-UPDATEDRIVER"},
     MatchRule::Exact,
     [](const wchar_t*) { return EndWith(RunUpdateDriverChore()); }},
    {SwitchId::DeleteDriverBySettings,
     {L"/DELETEDRIVERBYSETTINGS", L"DELETEDRIVERBYSETTINGS", L"-DELETEDRIVERBYSETTINGS"},
     MatchRule::Exact,
     [](const wchar_t*) { return EndWith(RunDeleteDriverChore()); }},
    {SwitchId::FlyDriver,
     {L"/FLYDRIVER", L"/flydriver", L"-FLYDRIVER", L"-flydriver"},
     MatchRule::Exact,
     [](const wchar_t*) { return EndWith(RunFlyDriverChore()); }},
    {SwitchId::InstallSvr,
     {L"/INSTALLSVR", L"/installsvr", L"-INSTALLSVR", L"-installsvr"},
     MatchRule::Exact,
     [](const wchar_t*) { return EndWith(InstallHotspotService() ? kExitChoreDone : kExitNoChoreResult); }},
    {SwitchId::PhoneCompanion,
     {L"/PHONECOMPANION", L"-PHONECOMPANION"},
     MatchRule::Exact,
     [](const wchar_t*) { return Continue(); }},
    {SwitchId::SetRotationOpen,
     {L"/setrotationopen", L"/SETROTATIONOPEN", L"-setrotationopen", L"-SETROTATIONOPEN"},
     MatchRule::Exact,
     [](const wchar_t*) { return EndWith(RunSetRotationChore(1)); }},
    {SwitchId::SetRotationClose,
     {L"/setrotationclose", L"/SETROTATIONCLOSE", L"-setrotationclose", L"-SETROTATIONCLOSE"},
     MatchRule::Exact,
     [](const wchar_t*) { return EndWith(RunSetRotationChore(0)); }},
    {SwitchId::FViewOn,
     {L"/fviewon", L"/FVIEWON", L"-fviewon", L"-FVIEWON"},
     MatchRule::Exact,
     [](const wchar_t*) { return ReadingModeStep(RunReadingModeOn()); }},
    {SwitchId::FViewGet,
     {L"/fviewget", L"/FVIEWGET", L"-fviewget", L"-FVIEWGET"},
     MatchRule::Exact,
     [](const wchar_t*) { return ReadingModeStep(RunReadingModeGet()); }},
    {SwitchId::FViewWait,
     {L"/fviewwait", L"/FVIEWWAIT", L"-fviewwait", L"-FVIEWWAIT"},
     MatchRule::Exact,
     [](const wchar_t*) { return ReadingModeStep(RunReadingModeWait()); }},
    {SwitchId::FViewOff,
     {L"/fviewoff", L"/FVIEWOFF", L"-fviewoff", L"-FVIEWOFF"},
     MatchRule::Exact,
     [](const wchar_t*) { return ReadingModeStep(RunReadingModeOff()); }},
    {SwitchId::IsSupportFView,
     {L"/issupportfview", L"/ISSUPPORTFVIEW", L"-issupportfview", L"-ISSUPPORTFVIEW"},
     MatchRule::Exact,
     [](const wchar_t*) { return ReadingModeStep(RunReadingModeIsSupport()); }},
    {SwitchId::Qmx,
     {L"/qmx", L"-qmx", L"/QMX", L"-QMX"},
     MatchRule::Contains,
     [](const wchar_t* argument) {
         RunUsageModeChore(argument, FindExplorerProcess, Sleep);
         return Continue();
     }},
    {SwitchId::CloseSettings,
     {L"/closesettings", L"/CLOSESETTINGS", L"-closesettings", L"-CLOSESETTINGS"},
     MatchRule::Exact,
     [](const wchar_t*) {
         CloseSettingsApplication();
         return Continue();
     }},
    {SwitchId::RotationReg,
     {L"/rotationreg", L"/ROTATIONREG", L"-rotationreg", L"-ROTATIONREG"},
     MatchRule::Exact,
     [](const wchar_t*) { return EndWith(RunRotationWatchChore()); }},
};

bool Matches(const wchar_t* argument, const wchar_t* form, MatchRule rule)
{
    if (rule == MatchRule::Exact)
        return wcscmp(argument, form) == 0;
    return wcsstr(argument, form) != nullptr;
}
}  // namespace

const SwitchRow* FindSwitch(const SwitchRow* table, size_t rows, const wchar_t* argument)
{
    for (size_t row = 0; row < rows; ++row)
    {
        for (const wchar_t* form : table[row].forms)
        {
            if (form != nullptr && Matches(argument, form, table[row].rule))
                return &table[row];
        }
    }
    return nullptr;
}

UINT WalkArguments(int count, wchar_t* const* arguments, const SwitchRow* table, size_t rows)
{
    for (int index = 0; index < count; ++index)
    {
        const SwitchRow* row = FindSwitch(table, rows, arguments[index]);
        if (row == nullptr)
            continue;
        const WalkStep step = row->chore(arguments[index]);
        if (step.ends)
            return step.exitCode;
    }
    return kExitNoChoreResult;
}

UINT WalkSplitArguments(wchar_t** arguments, int count)
{
    if (arguments == nullptr)
        return kExitNoArguments;
    UniqueLocal owner(arguments);
    return WalkArguments(count, arguments, kSwitchTable, ARRAYSIZE(kSwitchTable));
}

UINT RunCommandLine(const wchar_t* commandLine)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(commandLine, &count);
    return WalkSplitArguments(arguments, count);
}
