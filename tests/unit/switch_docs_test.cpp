#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/switches.h"
#include "harness/harness.h"

namespace
{
// The callers' reference lives in the source tree, which Wine shows as drive Z:.
std::string ReadReference()
{
    std::wstring path = L"Z:" + harness::Widen(INSTELIX_SOURCE_DIR "/docs/switches.md");
    for (wchar_t& c : path)
    {
        if (c == L'/')
            c = L'\\';
    }
    return harness::ReadBytes(path);
}

// The forms column of the reference's switch table: every `quoted` text of its second column.
std::set<std::string> DocumentedForms(const std::string& reference)
{
    std::set<std::string> forms;
    const size_t start = reference.find("## Switch table");
    const size_t end = reference.find("\n## ", start + 1);
    size_t line = reference.find('\n', start);
    while (line != std::string::npos && line < end)
    {
        const size_t next = reference.find('\n', line + 1);
        const std::string text = reference.substr(line + 1, next - line - 1);
        line = next;
        if (text.rfind("| ", 0) != 0 || text.rfind("|---", 0) == 0)
            continue;
        const size_t first = text.find('|', 1);
        const size_t second = text.find('|', first + 1);
        const std::string column = text.substr(first + 1, second - first - 1);
        for (size_t open = column.find('`'); open != std::string::npos; open = column.find('`', open + 1))
        {
            const size_t close = column.find('`', open + 1);
            forms.insert(column.substr(open + 1, close - open - 1));
            open = close;
        }
    }
    return forms;
}

TEST(SwitchReference, ListsExactlyTheFormsTheProgramAccepts)
{
    const std::string reference = ReadReference();
    ASSERT_FALSE(reference.empty()) << "docs/switches.md not found";
    std::set<std::string> accepted;
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
    EXPECT_EQ(DocumentedForms(reference), accepted);
}
}  // namespace
