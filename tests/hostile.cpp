// Hostile command lines as a property, through the real program on a machine without the suite. Every line ends in
// a rotation switch, which exits 1 there: a line that holds no switch form reaches it and changes nothing; with one
// form it exits as that switch does there, or reaches the rotation switch when the walk goes on. Near misses, quotes,
// backslashes, non-ASCII text, unpaired surrogates, huge and countless elements are mixed in; the seed is printed on
// failure.
#include "harness/rows.h"

#include <shellapi.h>

#include <random>
#include <set>

namespace
{
// Quotes an element so that the system's split gives it back unchanged.
std::wstring Quote(const std::wstring& element)
{
    if (!element.empty() && element.find_first_of(L" \t\"") == std::wstring::npos)
        return element;
    std::wstring quoted = L"\"";
    size_t slashes = 0;
    for (wchar_t c : element)
    {
        quoted += c == L'"' ? std::wstring(slashes + 1, L'\\') + L"\"" : std::wstring(1, c);
        slashes = c == L'\\' ? slashes + 1 : 0;
    }
    return quoted + std::wstring(slashes, L'\\') + L"\"";
}
}  // namespace

TEST(Hostile, CommandLines)
{
    std::vector<std::pair<std::wstring, DWORD>> forms;  // each with its exit code here, followed by a rotation switch
    std::set<std::wstring> all;
    for (const DocumentedSwitch& row : DocumentedSwitches())
    {
        // Without its library a reading switch ends the walk; a usage-mode switch would write the profile.
        const bool rotation = row.name.rfind("Rotation o", 0) == 0, reading = row.name.rfind("Reading", 0) == 0;
        for (const std::wstring& form : row.forms)
            if (all.insert(form).second && row.name != "Usage mode")
                forms.emplace_back(form, rotation || (row.continues && !reading) ? 1 : 0);
    }
    const wchar_t pieces[] = L" \t\"\\/-:aPpOoQqMmXxéß中\xD800\xDC00";
    const uint32_t seed =
        getenv("INSTELIX_SEED") ? strtoul(getenv("INSTELIX_SEED"), nullptr, 10) : std::random_device()();
    std::mt19937 random(seed);
    machine::Reset();
    machine::RemoveTree(L"D:\\DeviceControl");
    const machine::Snapshot clean = machine::TakeSnapshot();
    for (int line = 0; line < 12 && !HasFailure(); ++line)
    {
        std::wstring text = L"\"" + Program() + L"\"";
        std::vector<std::wstring> elements = {Program()};
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
            const bool matches =
                all.count(element) || element.find(L"qmx") != element.npos || element.find(L"QMX") != element.npos;
            if (text.size() + Quote(element).size() > 32000)  // the most a command line can hold, with room to spare
                break;
            elements.push_back(matches ? L"x" : element);
            text += L" " + Quote(elements.back());
        }
        const auto& form = random() % 2 ? forms[random() % forms.size()] : std::make_pair(std::wstring(L"x"), DWORD{0});
        text += L" " + form.first + L" /setrotationopen";
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", line " << line << ": "
                                        << machine::Narrow(text.substr(0, 300)));
        int count = 0;
        wchar_t** split = CommandLineToArgvW(text.c_str(), &count);
        ASSERT_EQ(std::vector<std::wstring>(split, split + count - 2), elements) << "the harness's quoting";
        LocalFree(split);
        ClearJournal();
        EXPECT_EQ(RunLine(text), form.first == L"x" ? 1u : form.second);
        EXPECT_EQ(machine::CompareSnapshots(clean, machine::TakeSnapshot()), Lines());
        EXPECT_EQ(JournalLines(), Lines());
    }
}
