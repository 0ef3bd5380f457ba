#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "app/switches.h"
#include "harness/harness.h"

namespace
{
// Every accepted form, blank-separated, with the row it must select.
const struct
{
    SwitchId id;
    const wchar_t* forms;
} kForms[] = {
    {SwitchId::Pop, L"/POP /pop -POP -pop"},
    {SwitchId::UpdateDriver, L"/UPDATEDRIVER UPDATEDRIVER -UPDATEDRIVER"},
    {SwitchId::DeleteDriverBySettings, L"/DELETEDRIVERBYSETTINGS DELETEDRIVERBYSETTINGS -DELETEDRIVERBYSETTINGS"},
    {SwitchId::FlyDriver, L"/FLYDRIVER /flydriver -FLYDRIVER -flydriver"},
    {SwitchId::InstallSvr, L"/INSTALLSVR /installsvr -INSTALLSVR -installsvr"},
    {SwitchId::PhoneCompanion, L"/PHONECOMPANION -PHONECOMPANION"},
    {SwitchId::SetRotationOpen, L"/setrotationopen /SETROTATIONOPEN -setrotationopen -SETROTATIONOPEN"},
    {SwitchId::SetRotationClose, L"/setrotationclose /SETROTATIONCLOSE -setrotationclose -SETROTATIONCLOSE"},
    {SwitchId::FViewOn, L"/fviewon /FVIEWON -fviewon -FVIEWON"},
    {SwitchId::FViewGet, L"/fviewget /FVIEWGET -fviewget -FVIEWGET"},
    {SwitchId::FViewWait, L"/fviewwait /FVIEWWAIT -fviewwait -FVIEWWAIT"},
    {SwitchId::FViewOff, L"/fviewoff /FVIEWOFF -fviewoff -FVIEWOFF"},
    {SwitchId::IsSupportFView, L"/issupportfview /ISSUPPORTFVIEW -issupportfview -ISSUPPORTFVIEW"},
    {SwitchId::Qmx, L"/qmx -qmx /QMX -QMX"},
    {SwitchId::CloseSettings, L"/closesettings /CLOSESETTINGS -closesettings -CLOSESETTINGS"},
    {SwitchId::RotationReg, L"/rotationreg /ROTATIONREG -rotationreg -ROTATIONREG"},
    // The usage-mode switch is found anywhere inside an argument, even a program path.
    {SwitchId::Qmx, L"x-qmxy /qmxwaitnor abc-QMXMU C:\\tools\\run-qmx\\Instelix.exe"},
};

TEST(Switches, EveryFormSelectsItsRow)
{
    for (const auto& row : kForms)
    {
        std::wistringstream forms(row.forms);
        for (std::wstring form; forms >> form;)
        {
            const SwitchRow* found = FindSwitch(form.c_str());
            ASSERT_NE(found, nullptr) << form;
            EXPECT_EQ(found->id, row.id) << form;
        }
    }
}

TEST(Switches, NearMissesSelectNothing)
{
    for (const wchar_t* argument :
         {L"/Pop", L"/POP:1", L"//POP", L"/POP ", L" /POP", L"POP", L"/updatedriver", L"updatedriver",
          L"/UPDATEDRIVER ", L"/phonecompanion", L"-phonecompanion", L"PHONECOMPANION", L"/setRotationOpen",
          L"/SetRotationClose", L"/FViewOn", L"/fviewon2", L"/Qmx", L"-qMX", L"/QMx", L"qmx", L"/closeSettings",
          L"/rotationReg", L"/deletedriverbysettings", L"/FlyDriver", L"/InstallSvr", L"", L"/", L"-",
          L"C:\\Program Files\\Instelix.exe"})
        EXPECT_EQ(FindSwitch(argument), nullptr) << "'" << argument << "'";
}

// The forms column of the callers' reference (docs/switches.md, on drive Z: under Wine) lists exactly the forms of
// the program's table.
TEST(Switches, ReferenceListsExactlyTheFormsTheProgramAccepts)
{
    std::wstring path = L"Z:" + harness::Widen(INSTELIX_SOURCE_DIR "/docs/switches.md");
    std::replace(path.begin(), path.end(), L'/', L'\\');
    const std::string reference = harness::ReadBytes(path);
    const size_t start = reference.find("## Switch table"), end = reference.find("\n## ", start + 1);
    ASSERT_NE(start, std::string::npos) << "docs/switches.md or its switch table not found";
    std::set<std::string> documented, accepted;
    for (const std::string& line : harness::SplitLines(reference.substr(start, end - start)))
    {
        if (line.rfind("| ", 0) != 0)
            continue;
        const size_t first = line.find('|', 1);
        const std::string column = line.substr(first + 1, line.find('|', first + 1) - first - 1);
        for (size_t open = column.find('`'); open != std::string::npos; open = column.find('`', open + 1))
        {
            const size_t close = column.find('`', open + 1);
            documented.insert(column.substr(open + 1, close - open - 1));
            open = close;
        }
    }
    size_t rows = 0;
    const SwitchRow* table = ProgramSwitchTable(&rows);
    for (size_t row = 0; row < rows; ++row)
    {
        for (const wchar_t* form : table[row].forms)
        {
            if (form != nullptr)
                accepted.insert(std::string(form, form + wcslen(form)));
        }
    }
    EXPECT_EQ(documented, accepted);
}

// A stand-in table whose chores record the order in which they ran.
std::vector<std::wstring> g_ran;

const SwitchRow kTestTable[] = {
    {SwitchId::Pop, {L"/go", L"/again"}, MatchRule::Exact,
     [](const wchar_t* argument) { return g_ran.push_back(argument), Continue(); }},
    {SwitchId::UpdateDriver, {L"/end"}, MatchRule::Exact,
     [](const wchar_t* argument) { return g_ran.push_back(argument), EndWith(7); }},
    {SwitchId::Qmx, {L"zz"}, MatchRule::Contains,
     [](const wchar_t* argument) { return g_ran.push_back(argument), Continue(); }},
};

TEST(Walk, RunsChoresInOrderUntilTheFirstThatEnds)
{
    using Args = std::vector<std::wstring>;
    const struct
    {
        Args arguments;
        UINT exitCode;
        Args ran;
    } cases[] = {
        {{L"/go", L"nothing", L"/again", L"/go"}, kExitNoChoreResult, {L"/go", L"/again", L"/go"}},
        {{L"/end"}, 7, {L"/end"}},  // element zero takes part like any other
        {{L"prog", L"/go", L"/end", L"/go", L"/end"}, 7, {L"/go", L"/end"}},  // later ones are not looked at
        {{L"azzb", L"/go"}, kExitNoChoreResult, {L"azzb", L"/go"}},  // the whole argument goes to the chore
    };
    for (auto c : cases)
    {
        g_ran.clear();
        std::vector<wchar_t*> pointers;
        for (std::wstring& argument : c.arguments)
            pointers.push_back(&argument[0]);
        EXPECT_EQ(WalkArguments(static_cast<int>(pointers.size()), pointers.data(), kTestTable,
                                ARRAYSIZE(kTestTable)),
                  c.exitCode);
        EXPECT_EQ(g_ran, c.ran);
    }
    EXPECT_EQ(WalkSplitArguments(nullptr, 0), kExitNoArguments) << "a command line that cannot be split";
}
}  // namespace
