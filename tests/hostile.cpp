// Hostile command lines as a property, through the real program on a machine without the suite. Every line ends in
// a rotation switch, which exits 1 there: a line without a switch form reaches it and changes nothing; with one form
// it exits as that switch does there. Near misses, quotes, backslashes, non-ASCII text, unpaired surrogates, huge and
// countless elements are mixed in. The only model is the forms of the callers' reference, docs/switches.md.
#include <random>

#include "harness/rows.h"

namespace
{
// Each form of the reference's switch table with its exit code here when a rotation switch follows it: without its
// library a reading switch ends the walk with 0. The usage-mode forms, found inside any element, are left out.
std::vector<std::pair<std::wstring, DWORD>> DocumentedForms()
{
    const std::string text = machine::ReadBytes(machine::Widen("Z:" INSTELIX_SOURCE_DIR "/docs/switches.md"));
    std::vector<std::pair<std::wstring, DWORD>> forms;
    for (size_t at = text.find("\n| ", text.find("|---")); at < text.find("\n\n", text.find("|---"));
         at = text.find("\n| ", at + 1))
    {
        const std::string row = text.substr(at + 3, text.find('\n', at + 1) - at - 3);
        const std::string cells = row.substr(0, row.find(" | ", row.find(" | ") + 3));  // the name and the forms
        const DWORD exitCode =
            row.rfind("Rotation o", 0) == 0 || (row.find(" | continues |") != row.npos && row.rfind("Reading", 0) != 0);
        for (size_t open = cells.find('`'); open != cells.npos && row.rfind("Usage", 0) != 0;
             open = cells.find('`', cells.find('`', open + 1) + 1))
            forms.emplace_back(machine::Widen(cells.substr(open + 1, cells.find('`', open + 1) - open - 1)), exitCode);
    }
    return forms;
}

// Quotes an element so that the system's split gives it back unchanged.
std::wstring Quote(const std::wstring& element)
{
    if (!element.empty() && element.find_first_of(L" \t\"") == std::wstring::npos)
        return element;
    std::wstring quoted = L"\"";
    size_t slashes = 0;
    for (wchar_t c : element)
        quoted += c == L'"' ? std::wstring(slashes + 1, L'\\') + L"\"" : std::wstring(1, c),
            slashes = c == L'\\' ? slashes + 1 : 0;
    return quoted + std::wstring(slashes, L'\\') + L"\"";
}
}  // namespace

TEST(Hostile, CommandLines)
{
    const auto forms = DocumentedForms();
    ASSERT_GT(forms.size(), 40u);
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
            std::wstring element;
            if (random() % 3 == 0)  // a near miss: a form with one character added or dropped
            {
                element = forms[random() % forms.size()].first;
                const size_t at = random() % element.size();
                random() % 2 ? element.insert(at, 1, pieces[random() % 20]) : element.erase(at, 1);
            }
            for (size_t length = random() % 40 == 0 ? 20000 : random() % 12; element.size() < length;)
                element += pieces[random() % (ARRAYSIZE(pieces) - 1)];
            const bool matches = std::any_of(forms.begin(), forms.end(), [&](auto& f) { return f.first == element; }) ||
                                 element.find(L"qmx") != element.npos || element.find(L"QMX") != element.npos;
            if (text.size() + Quote(element).size() > 32000)  // the most a command line can hold, with room to spare
                break;
            text += L" " + Quote(matches ? L"x" : element);
        }
        const auto& form = random() % 2 ? forms[random() % forms.size()] : std::make_pair(std::wstring(L"x"), DWORD{1});
        text += L" " + form.first + L" /setrotationopen";
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", line " << line << ": "
                                        << machine::Narrow(text.substr(0, 300)));
        ClearJournal();
        EXPECT_EQ(RunLine(text), form.second);
        EXPECT_EQ(machine::CompareSnapshots(clean, machine::TakeSnapshot()), Lines());
        EXPECT_EQ(JournalLines(), Lines());
    }
}
