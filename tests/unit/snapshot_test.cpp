#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/snapshot.h"

using harness::View;

namespace
{
const wchar_t kSettingsKey[] = L"SOFTWARE\\Tesmar\\Tesmar Settings";
const wchar_t kFolder[] = L"C:\\Program Files\\Tesmar\\SnapshotTest";

TEST(Snapshot, ComparisonNamesWhatWasAddedRemovedAndChanged)
{
    const harness::Snapshot before = {{"a", "1"}, {"b", "2"}, {"c", "3"}};
    const harness::Snapshot after = {{"b", "2"}, {"c", "4"}, {"d", "5"}};
    const std::vector<std::string> expected = {"- a: 1", "~ c: 3 -> 4", "+ d: 5"};
    EXPECT_EQ(harness::CompareSnapshots(before, after), expected);
    EXPECT_TRUE(harness::CompareSnapshots(after, after).empty());
    EXPECT_EQ(harness::SnapshotFromText(harness::SnapshotToText(after)), after);
}

TEST(Snapshot, ShowsTheChangesMadeBetweenTwoPicturesAndNothingElse)
{
    harness::Tidy tidy([] {
        harness::DeleteKeyEverywhere(L"SOFTWARE\\Tesmar");
        harness::RemoveTree(L"C:\\Program Files\\Tesmar");
    });
    harness::SetDword(View::Bits64, kSettingsKey, L"Untouched", 7);
    harness::MakeDirs(kFolder);
    harness::WriteBytes(std::wstring(kFolder) + L"\\kept.cfg", "[a]\r\nb=1\r\n");
    const harness::Snapshot before = harness::TakeSnapshot();

    // A run that changes nothing leaves two equal pictures.
    EXPECT_EQ(harness::RunInstelix(L"/PHONECOMPANION").exitCode, 0u);
    EXPECT_TRUE(harness::CompareSnapshots(before, harness::TakeSnapshot()).empty());

    harness::SetDword(View::Bits64, kSettingsKey, L"StartStatus1", 1);
    harness::WriteBytes(std::wstring(kFolder) + L"\\new.cfg", "[ConfigParam]\r\nInitWait=3\r\n");
    const std::string view = harness::IsWin64Machine() ? " [64-bit view]" : "";
    const std::vector<std::string> expected = {
        "+ C:\\Program Files\\Tesmar\\SnapshotTest\\new.cfg: 27 bytes, attributes 0x20, text: [ConfigParam] "
        "|InitWait=3 |",
        "+ HKLM\\SOFTWARE\\Tesmar\\Tesmar Settings" + view + ": StartStatus1: REG_DWORD 1",
    };
    EXPECT_EQ(harness::CompareSnapshots(before, harness::TakeSnapshot()), expected);
}
}  // namespace
