// Hostile command lines as a property, run through the real program on a machine without the suite: a line that
// holds no switch form exits 0 and changes nothing; a line with one form exits as that switch does there (1 for
// the rotation switches, whose setting cannot be read, 0 for every other). Near misses, quotes, backslashes,
// non-ASCII text, unpaired surrogates, huge and countless elements are mixed in. The seed is printed on failure.
#include <random>
#include <set>

#include "harness/rows.h"

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
    std::vector<std::wstring> forms;
    std::vector<DWORD> exitCodes;  // of each form on a machine without the suite, a rotation switch after it
    std::set<std::wstring> all;
    for (const DocumentedSwitch& row : DocumentedSwitches())
    {
        for (const std::wstring& form : row.forms)
        {
            all.insert(form);
            if (row.name == "Usage mode")
                continue;  // it would record its mode in the machine-wide profile
            forms.push_back(form);
            const bool unavailable = row.name.rfind("Reading mode", 0) == 0;  // no library: the walk ends with 0
            exitCodes.push_back(!unavailable && (row.continues || row.name.rfind("Rotation o", 0) == 0) ? 1 : 0);
        }
    }
    ASSERT_GT(forms.size(), 40u);
    const wchar_t pieces[] = L" \t\"\\/-:aPpOoQqMmXxéß中\xD800\xDC00";
    const uint32_t seed = std::random_device()();
    std::mt19937 random(seed);
    machine::Reset();
    machine::RemoveTree(L"D:\\DeviceControl");
    const machine::Snapshot clean = machine::TakeSnapshot();
    for (int line = 0; line < 48; ++line)
    {
        std::wstring text = L"\"" + Fixture("..\\Instelix.exe") + L"\"";
        const size_t count = random() % 50 == 0 ? 3000 : random() % 8;
        for (size_t i = 0; i < count; ++i)
        {
            std::wstring element;
            if (random() % 3 == 0)  // a near miss: a form with one character changed, added or dropped
            {
                element = forms[random() % forms.size()];
                const size_t at = random() % element.size();
                random() % 2 ? element.insert(at, 1, pieces[random() % 20]) : element.erase(at, 1);
            }
            for (size_t length = random() % 40 == 0 ? 20000 : random() % 12; element.size() < length;)
                element += pieces[random() % (ARRAYSIZE(pieces) - 1)];
            const bool isForm = all.count(element) || element.find(L"qmx") != std::wstring::npos ||
                                element.find(L"QMX") != std::wstring::npos;
            text += L" " + Quote(isForm ? L"x" : element);
        }
        DWORD expected = 0;
        if (random() % 2)
        {
            const size_t chosen = random() % forms.size();
            text += L" " + forms[chosen] + L" /setrotationopen";
            expected = exitCodes[chosen];
        }
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", line " << line << ": " << machine::Narrow(text.substr(0, 300)));
        ClearJournal();
        const DWORD exitCode = RunLine(text, 30000);
        EXPECT_EQ(exitCode, expected);
        EXPECT_EQ(machine::CompareSnapshots(clean, machine::TakeSnapshot()), Lines());
        EXPECT_EQ(JournalLines(), Lines());
        if (HasFailure())
            break;
    }
}
