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
// Each form of the reference's switch table with its exit code on this machine: 1 for the rotation switches, 0 for
// the others that end the walk (a reading switch does, without its library), -1 for those that let it go on. The
// usage-mode forms, found inside any element, are left out (no generated line holds one).
std::map<std::wstring, int> DocumentedForms()
{
    const std::string text = machine::ReadBytes(machine::Widen("Z:" INSTELIX_SOURCE_DIR "/docs/switches.md"));
    std::map<std::wstring, int> forms;
    for (size_t at = text.find("\n| ", text.find("|---")); at < text.find("\n\n", text.find("|---"));
         at = text.find("\n| ", at + 1))
    {
        const std::string row = text.substr(at + 3, text.find('\n', at + 1) - at - 3);
        const std::string cells = row.substr(0, row.find(" | ", row.find(" | ") + 3));  // the name and the forms
        const int exitCode = row.rfind("Rotation o", 0) == 0                                          ? 1
                             : row.find(" | continues |") != row.npos && row.rfind("Reading", 0) != 0 ? -1
                                                                                                      : 0;
        for (size_t open = cells.find('`'); open != cells.npos && row.rfind("Usage", 0) != 0;
             open = cells.find('`', cells.find('`', open + 1) + 1))
            forms[machine::Widen(cells.substr(open + 1, cells.find('`', open + 1) - open - 1))] = exitCode;
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
    const uint32_t seed =
        getenv("INSTELIX_SEED") ? strtoul(getenv("INSTELIX_SEED"), nullptr, 10) : std::random_device()();
    std::mt19937 random(seed);
    machine::Reset();
    machine::RemoveTree(L"D:\\DeviceControl");
    const machine::Snapshot clean = machine::TakeSnapshot();
    for (int line = 0; line < 12 && !HasFailure(); ++line)
    {
        std::wstring text = L"\"" + kProgram + L"\"";
        for (size_t i = 0, count = random() % 6 == 0 ? 3000 : random() % 8; i < count; ++i)
        {
            std::wstring element = random() % 3 ? L"" : names[random() % names.size()];
            if (!element.empty())  // a near miss: a form with one character added or dropped
                random() % 2 ? element.insert(random() % element.size(), 1, pieces[random() % 20])
                             : element.erase(random() % element.size(), 1);
            for (size_t length = random() % 40 == 0 ? 20000 : random() % 12; element.size() < length;)
                element += pieces[random() % (ARRAYSIZE(pieces) - 1)];
            if (text.size() + element.size() > 32000)  // the most a command line can hold, with room to spare
                break;
            text += L" " + element;
        }
        text += (random() % 2 ? L" " + names[random() % names.size()] : L"") + L" /setrotationopen";
        for (const wchar_t* usage : {L"qmx", L"QMX"})  // after the program's own path
            for (size_t at; (at = text.find(usage, kProgram.size() + 2)) != text.npos;)
                text[at + 1] = L'-';
        int count = 0, expected = -1;
        wchar_t** elements = CommandLineToArgvW(text.c_str(), &count);
        for (int i = 0; i < count && expected < 0; ++i)
            expected = forms.count(elements[i]) ? forms.at(elements[i]) : -1;
        LocalFree(elements);
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", line " << line << ": "
                                        << machine::Narrow(text.substr(0, 300)));
        ClearJournal();
        EXPECT_EQ(RunLine(text), static_cast<DWORD>(std::max(expected, 0)));
        EXPECT_EQ(machine::CompareSnapshots(clean, machine::TakeSnapshot()), Lines());
        EXPECT_EQ(JournalLines(), Lines());
    }
}
