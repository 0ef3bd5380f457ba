// Hostile command lines as a property, through the real program on a machine without the suite: near misses,
// quotes, backslashes, non-ASCII text, unpaired surrogates, huge and countless elements, then perhaps a switch form,
// then a rotation switch. The system's own split of the line gives the elements the program sees; the first that is
// a form ending the walk decides the exit code, and the machine stays as it was. The only model is the forms of the
// callers' reference, docs/switches.md.
#include "harness/harness.h"

#include <shellapi.h>

#include <random>

namespace
{
// The exit code on this machine of the forms in a row of the reference's switch table: 1 for the rotation switches,
// 0 for the others that end the walk (a reading switch does, without its library), -1 for those that let it go on.
int RowExitCode(const std::string& row)
{
    if (row.rfind("Rotation o", 0) == 0)
        return 1;
    const bool continues = row.find(" | continues |") != row.npos;
    if (continues && row.rfind("Reading", 0) != 0)
        return -1;
    return 0;
}

// Each form of the reference's switch table with its exit code. The usage-mode forms, found inside any element, are
// left out (no generated line holds one).
std::map<std::wstring, int> DocumentedForms()
{
    const std::string text = machine::ReadBytes(machine::Widen("Z:" INSTELIX_SOURCE_DIR "/docs/switches.md"));
    const size_t table = text.find("|---");
    const size_t tableEnd = text.find("\n\n", table);
    std::map<std::wstring, int> forms;
    for (size_t at = text.find("\n| ", table); at < tableEnd; at = text.find("\n| ", at + 1))
    {
        const std::string row = text.substr(at + 3, text.find('\n', at + 1) - at - 3);
        if (row.rfind("Usage", 0) == 0)
            continue;
        const size_t nameEnd = row.find(" | ");
        const std::string cells = row.substr(0, row.find(" | ", nameEnd + 3));  // the name and the forms
        const int exitCode = RowExitCode(row);
        size_t open = cells.find('`');
        while (open != cells.npos)
        {
            const size_t close = cells.find('`', open + 1);
            forms[machine::Widen(cells.substr(open + 1, close - open - 1))] = exitCode;
            open = cells.find('`', close + 1);
        }
    }
    return forms;
}
}  // namespace

TEST(Hostile, CommandLines)
{
    const auto forms = DocumentedForms();
    ASSERT_GT(forms.size(), 40u);
    std::vector<std::wstring> names;
    for (const auto& form : forms)
        names.push_back(form.first);
    const wchar_t pieces[] = L" \t\"\\/-:aPpOoQqMmXxéß中\xD800\xDC00";
    const char* chosenSeed = getenv("INSTELIX_SEED");
    const uint32_t seed = chosenSeed != nullptr ? strtoul(chosenSeed, nullptr, 10) : std::random_device()();
    std::mt19937 random(seed);
    machine::Reset();
    machine::RemoveTree(L"D:\\DeviceControl");
    const machine::Snapshot clean = machine::TakeSnapshot();
    for (int line = 0; line < 12 && !HasFailure(); ++line)
    {
        // The draws keep their order, so that a seed printed by an earlier run makes the same line again.
        std::wstring text = L"\"" + kProgram + L"\"";
        const bool crowded = random() % 6 == 0;
        const size_t elementCount = crowded ? 3000 : random() % 8;
        for (size_t i = 0; i < elementCount; ++i)
        {
            std::wstring element;
            if (random() % 3 == 0)
                element = names[random() % names.size()];
            if (!element.empty())  // a near miss: a form with one character added or dropped
            {
                if (random() % 2 != 0)
                {
                    const wchar_t added = pieces[random() % 20];
                    const size_t at = random() % element.size();
                    element.insert(at, 1, added);
                }
                else
                {
                    element.erase(random() % element.size(), 1);
                }
            }
            const bool huge = random() % 40 == 0;
            const size_t length = huge ? 20000 : random() % 12;
            while (element.size() < length)
                element += pieces[random() % (ARRAYSIZE(pieces) - 1)];
            if (text.size() + element.size() > 32000)  // the most a command line can hold, with room to spare
                break;
            text += L" " + element;
        }
        if (random() % 2 != 0)
            text += L" " + names[random() % names.size()];
        text += L" /setrotationopen";
        for (const wchar_t* usage : {L"qmx", L"QMX"})  // after the program's own path
        {
            size_t at = text.find(usage, kProgram.size() + 2);
            while (at != text.npos)
            {
                text[at + 1] = L'-';
                at = text.find(usage, kProgram.size() + 2);
            }
        }
        int count = 0;
        wchar_t** elements = CommandLineToArgvW(text.c_str(), &count);
        int expected = -1;
        for (int i = 0; i < count && expected < 0; ++i)
            expected = forms.count(elements[i]) ? forms.at(elements[i]) : -1;
        LocalFree(elements);
        // Not SCOPED_TRACE, which starts a thread (harness.h says why the test program keeps to one).
        const std::string where = "seed " + std::to_string(seed) + ", line " + std::to_string(line) + ": " +
                                  machine::Narrow(text.substr(0, 300));
        ClearJournal();
        EXPECT_EQ(RunLine(text), static_cast<DWORD>(std::max(expected, 0))) << where;
        EXPECT_EQ(machine::CompareSnapshots(clean, machine::TakeSnapshot()), Lines()) << where;
        EXPECT_EQ(JournalLines(), Lines()) << where;
    }
}
