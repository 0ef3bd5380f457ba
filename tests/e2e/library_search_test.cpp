#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/modes.h"
#include "harness/support.h"

using namespace harness;

namespace
{
// Runs with `folder` as the current folder, restoring the test program's own afterwards.
RunResult RunInstelixFrom(const std::wstring& folder, const std::wstring& arguments)
{
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(folder.c_str());
    const RunResult result = RunInstelix(arguments);
    SetCurrentDirectoryW(saved);
    return result;
}
}  // namespace

// An elevated run started from a user's folder must not load what was planted there or on PATH, while a vendor
// library loaded by its full path still finds the library it ships beside it.
TEST(LibrarySearch, VendorLibraryFindsItsNeighbourButNothingPlanted)
{
    CleanSettingsKey key;
    Journal journal;
    const std::wstring library = FolioLibraryPath();
    PlacedLibrary folio(L"FolioViewAPI-withhelper.dll", library);
    PlacedLibrary helper(L"VendorHelper.dll", library.substr(0, library.find_last_of(L'\\')) + L"\\VendorHelper.dll");
    TempFolder userFolder(L"instelix-user-folder");
    TempFolder pathFolder(L"instelix-path-folder");
    PlacedLibrary plantedHere(L"VendorHelper.dll", userFolder.Path() + L"\\PlantedCwd.dll");
    PlacedLibrary plantedOnPath(L"VendorHelper.dll", pathFolder.Path() + L"\\PlantedPath.dll");
    wchar_t path[4096] = {};
    GetEnvironmentVariableW(L"PATH", path, ARRAYSIZE(path));
    ScopedEnv searchPath(L"PATH", pathFolder.Path() + L";" + path);

    const RunResult run = RunInstelixFrom(userFolder.Path(), L"/fviewon");

    EXPECT_EQ(run.exitCode, 0u);
    const std::vector<std::wstring> expected = {L"VendorHelper.dll\tload", L"FolioViewAPI.dll\tload",
                                                L"FolioViewAPI.dll\tSetFolioViewStatus 1"};
    EXPECT_EQ(journal.Lines(), expected);
}
