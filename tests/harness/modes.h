#pragma once
// Arrangements for the reading-mode and usage-mode tests: stand-in libraries at the suite's install paths, the
// settings key in both views, and the machine-wide profile file.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness/support.h"

namespace harness
{
extern const wchar_t kSettingsKey[];

// "C:\Program Files (x86)" on 64-bit Windows, "C:\Program Files" on 32-bit; `other` gives the one not used.
std::wstring InstallRoot(bool other = false);
std::wstring FolioLibraryPath(bool otherRoot = false);
std::wstring QmxLibraryPath(bool otherRoot = false);

// Where a case puts its stand-in library: nowhere, under the Program Files folder not used, or where it belongs.
enum Placement
{
    Absent,
    OtherRoot,
    Installed,
};

// A stand-in library copied to `target` for the life of the object; the file and the folders left empty go with
// it.
class PlacedLibrary
{
public:
    PlacedLibrary(const std::wstring& fixture, const std::wstring& target);
    ~PlacedLibrary();
    PlacedLibrary(const PlacedLibrary&) = delete;
    PlacedLibrary& operator=(const PlacedLibrary&) = delete;

private:
    std::wstring target_;
};

// Keeps the settings key absent in both views before and after a test.
class CleanSettingsKey : Tidy
{
public:
    CleanSettingsKey();
};

// The profile file, absent before and after the object's life.
class ScopedProfile
{
public:
    ScopedProfile();
    ~ScopedProfile() { RemoveFile(path_); }
    const std::wstring& Path() const { return path_; }
    bool Exists() const;
    // The "InitWait" entry of "ConfigParam", read from the file's bytes; empty when absent.
    std::string InitWait() const;

private:
    std::wstring path_;
};

// A stand-in desktop shell: a lingering program whose image name is "explorer.exe". Wine starts its own shell
// only while some program of the machine uses the desktop, so tests that need one bring their own.
class ScopedShell
{
public:
    ScopedShell();

private:
    TempFolder folder_;
    Child shell_;
};

// The stand-in library `fixture` where `placement` says, at `path(false)` or, for OtherRoot, `path(true)`.
std::unique_ptr<PlacedLibrary> PlaceLibrary(Placement placement, const std::wstring& fixture,
                                            std::wstring (*path)(bool otherRoot));

// Journal lines of one stand-in library, with the library name stripped: "load", "SetQmxMode 1", "free", ...
std::vector<std::wstring> LibraryCalls(const std::vector<std::wstring>& lines, const std::wstring& library);

using Calls = std::vector<std::wstring>;

// A test of the mode chores: the settings key and the profile file cleared around it, a journal of library calls.
class ModeTest : public ::testing::Test
{
protected:
    // Clears the settings key, the profile and the journal between the cases of one test.
    void Reset()
    {
        DeleteKeyEverywhere(kSettingsKey);
        RemoveFile(profile_.Path());
        RemoveFile(journal_.Path());
    }

    Calls CallsOf(const std::wstring& library) const { return LibraryCalls(journal_.Lines(), library); }

    CleanSettingsKey key_;
    ScopedProfile profile_;
    Journal journal_;
};
}  // namespace harness
