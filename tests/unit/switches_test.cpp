#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "app/switches.h"

namespace
{
struct FormCase
{
    const wchar_t* argument;
    SwitchId expected;
};

const FormCase kEveryForm[] = {
    {L"/POP", SwitchId::Pop},
    {L"/pop", SwitchId::Pop},
    {L"-POP", SwitchId::Pop},
    {L"-pop", SwitchId::Pop},
    {L"/UPDATEDRIVER", SwitchId::UpdateDriver},
    {L"UPDATEDRIVER", SwitchId::UpdateDriver},
    {L"-UPDATEDRIVER", SwitchId::UpdateDriver},
    {L"/DELETEDRIVERBYSETTINGS", SwitchId::DeleteDriverBySettings},
    {L"DELETEDRIVERBYSETTINGS", SwitchId::DeleteDriverBySettings},
    {L"-DELETEDRIVERBYSETTINGS", SwitchId::DeleteDriverBySettings},
    {L"/FLYDRIVER", SwitchId::FlyDriver},
    {L"/flydriver", SwitchId::FlyDriver},
    {L"-FLYDRIVER", SwitchId::FlyDriver},
    {L"-flydriver", SwitchId::FlyDriver},
    {L"/INSTALLSVR", SwitchId::InstallSvr},
    {L"/installsvr", SwitchId::InstallSvr},
    {L"-INSTALLSVR", SwitchId::InstallSvr},
    {L"-installsvr", SwitchId::InstallSvr},
    {L"/PHONECOMPANION", SwitchId::PhoneCompanion},
    {L"-PHONECOMPANION", SwitchId::PhoneCompanion},
    {L"/setrotationopen", SwitchId::SetRotationOpen},
    {L"/SETROTATIONOPEN", SwitchId::SetRotationOpen},
    {L"-setrotationopen", SwitchId::SetRotationOpen},
    {L"-SETROTATIONOPEN", SwitchId::SetRotationOpen},
    {L"/setrotationclose", SwitchId::SetRotationClose},
    {L"/SETROTATIONCLOSE", SwitchId::SetRotationClose},
    {L"-setrotationclose", SwitchId::SetRotationClose},
    {L"-SETROTATIONCLOSE", SwitchId::SetRotationClose},
    {L"/fviewon", SwitchId::FViewOn},
    {L"/FVIEWON", SwitchId::FViewOn},
    {L"-fviewon", SwitchId::FViewOn},
    {L"-FVIEWON", SwitchId::FViewOn},
    {L"/fviewget", SwitchId::FViewGet},
    {L"/FVIEWGET", SwitchId::FViewGet},
    {L"-fviewget", SwitchId::FViewGet},
    {L"-FVIEWGET", SwitchId::FViewGet},
    {L"/fviewwait", SwitchId::FViewWait},
    {L"/FVIEWWAIT", SwitchId::FViewWait},
    {L"-fviewwait", SwitchId::FViewWait},
    {L"-FVIEWWAIT", SwitchId::FViewWait},
    {L"/fviewoff", SwitchId::FViewOff},
    {L"/FVIEWOFF", SwitchId::FViewOff},
    {L"-fviewoff", SwitchId::FViewOff},
    {L"-FVIEWOFF", SwitchId::FViewOff},
    {L"/issupportfview", SwitchId::IsSupportFView},
    {L"/ISSUPPORTFVIEW", SwitchId::IsSupportFView},
    {L"-issupportfview", SwitchId::IsSupportFView},
    {L"-ISSUPPORTFVIEW", SwitchId::IsSupportFView},
    {L"/qmx", SwitchId::Qmx},
    {L"-qmx", SwitchId::Qmx},
    {L"/QMX", SwitchId::Qmx},
    {L"-QMX", SwitchId::Qmx},
    {L"/closesettings", SwitchId::CloseSettings},
    {L"/CLOSESETTINGS", SwitchId::CloseSettings},
    {L"-closesettings", SwitchId::CloseSettings},
    {L"-CLOSESETTINGS", SwitchId::CloseSettings},
    {L"/rotationreg", SwitchId::RotationReg},
    {L"/ROTATIONREG", SwitchId::RotationReg},
    {L"-rotationreg", SwitchId::RotationReg},
    {L"-ROTATIONREG", SwitchId::RotationReg},
    // The usage-mode switch is found anywhere inside an argument, even a program path.
    {L"x-qmxy", SwitchId::Qmx},
    {L"/qmxwaitnor", SwitchId::Qmx},
    {L"abc-QMXMU", SwitchId::Qmx},
    {L"C:\\tools\\run-qmx\\Instelix.exe", SwitchId::Qmx},
};

TEST(Switches, EveryFormSelectsItsRow)
{
    for (const FormCase& c : kEveryForm)
    {
        const SwitchRow* row = FindSwitch(c.argument);
        ASSERT_NE(row, nullptr) << c.argument;
        EXPECT_EQ(row->id, c.expected) << c.argument;
    }
}

TEST(Switches, NearMissesSelectNothing)
{
    const wchar_t* nearMisses[] = {
        L"/Pop", L"/POP:1", L"//POP", L"/POP ", L" /POP", L"POP", L"/updatedriver", L"updatedriver",
        L"/UPDATEDRIVER ", L"/phonecompanion", L"-phonecompanion", L"PHONECOMPANION", L"/setRotationOpen",
        L"/SetRotationClose", L"/FViewOn", L"/fviewon2", L"/Qmx", L"-qMX", L"/QMx", L"qmx", L"/closeSettings",
        L"/rotationReg", L"/deletedriverbysettings", L"/FlyDriver", L"/InstallSvr", L"", L"/", L"-",
        L"C:\\Program Files\\Instelix.exe",
    };
    for (const wchar_t* argument : nearMisses)
        EXPECT_EQ(FindSwitch(argument), nullptr) << "'" << argument << "'";
}

// A stand-in table whose chores record the order in which they ran.
std::vector<std::wstring> g_ran;

WalkStep Record(const wchar_t* argument)
{
    g_ran.push_back(argument);
    return Continue();
}

WalkStep RecordAndEndWith7(const wchar_t* argument)
{
    g_ran.push_back(argument);
    return EndWith(7);
}

const SwitchRow kTestTable[] = {
    {SwitchId::Pop, {L"/go", L"/again"}, MatchRule::Exact, Record},
    {SwitchId::UpdateDriver, {L"/end"}, MatchRule::Exact, RecordAndEndWith7},
    {SwitchId::Qmx, {L"zz"}, MatchRule::Contains, Record},
};

UINT Walk(std::vector<std::wstring> arguments)
{
    g_ran.clear();
    std::vector<wchar_t*> pointers;
    for (std::wstring& argument : arguments)
        pointers.push_back(&argument[0]);
    return WalkArguments(static_cast<int>(pointers.size()), pointers.data(), kTestTable, ARRAYSIZE(kTestTable));
}

TEST(Walk, RunsContinuingChoresInOrderAndEndsWithZero)
{
    EXPECT_EQ(Walk({L"/go", L"nothing", L"/again", L"/go"}), kExitNoChoreResult);
    EXPECT_EQ(g_ran, (std::vector<std::wstring>{L"/go", L"/again", L"/go"}));
}

TEST(Walk, ElementZeroTakesPartLikeAnyOther)
{
    EXPECT_EQ(Walk({L"/end"}), 7u);
    EXPECT_EQ(g_ran, (std::vector<std::wstring>{L"/end"}));
}

TEST(Walk, FirstEndingChoreDecidesAndLaterArgumentsAreNotLookedAt)
{
    EXPECT_EQ(Walk({L"prog", L"/go", L"/end", L"/go", L"/end"}), 7u);
    EXPECT_EQ(g_ran, (std::vector<std::wstring>{L"/go", L"/end"}));
}

TEST(Walk, ContainsRuleHandsTheWholeArgumentToTheChore)
{
    EXPECT_EQ(Walk({L"azzb", L"/go"}), kExitNoChoreResult);
    EXPECT_EQ(g_ran, (std::vector<std::wstring>{L"azzb", L"/go"}));
}

TEST(Walk, CommandLineThatCannotBeSplitGivesTen)
{
    EXPECT_EQ(WalkSplitArguments(nullptr, 0), kExitNoArguments);
}
}  // namespace
