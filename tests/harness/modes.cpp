#include "harness/modes.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace harness
{
const wchar_t kSettingsKey[] = L"Software\\Tesmar\\Tesmar Settings";

std::wstring InstallRoot(bool other)
{
    return IsWin64Machine() != other ? L"C:\\Program Files (x86)" : L"C:\\Program Files";
}

std::wstring FolioLibraryPath(bool otherRoot)
{
    return InstallRoot(otherRoot) + L"\\Tesmar\\FolioScreen\\FolioViewAPI.dll";
}

std::wstring QmxLibraryPath(bool otherRoot)
{
    return InstallRoot(otherRoot) + L"\\Tesmar\\Tesmar Settings\\TesmarQMX.dll";
}

PlacedLibrary::PlacedLibrary(const std::wstring& fixture, const std::wstring& target) : target_(target)
{
    MakeDirs(target.substr(0, target.find_last_of(L'\\')));
    EXPECT_TRUE(CopyFileW(FixturePath(fixture).c_str(), target.c_str(), FALSE)) << "placing " << fixture;
}

PlacedLibrary::~PlacedLibrary()
{
    RemoveFile(target_);
    // Up to the first folder that still holds something, such as "C:\Program Files".
    for (std::wstring dir = target_.substr(0, target_.find_last_of(L'\\')); RemoveDirectoryW(dir.c_str());)
        dir.resize(dir.find_last_of(L'\\'));
}

std::unique_ptr<PlacedLibrary> PlaceLibrary(Placement placement, const std::wstring& fixture,
                                            std::wstring (*path)(bool otherRoot))
{
    return placement == Absent ? nullptr : std::make_unique<PlacedLibrary>(fixture, path(placement == OtherRoot));
}

ScopedShell::ScopedShell() : folder_(L"instelix-shell"), shell_(StartLingering(folder_ / L"explorer.exe"))
{
}

CleanSettingsKey::CleanSettingsKey() : Tidy([] { DeleteKeyEverywhere(kSettingsKey); })
{
}

ScopedProfile::ScopedProfile()
{
    wchar_t folder[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE);
    path_ = std::wstring(folder) + L"\\tmspr_prof.cfg";
    RemoveFile(path_);
}

bool ScopedProfile::Exists() const
{
    return FileExists(path_);
}

std::string ScopedProfile::InitWait() const
{
    const std::string text = ReadBytes(path_);
    const size_t section = text.find("[ConfigParam]");
    if (section == std::string::npos)
        return "";
    const size_t nextSection = text.find("\n[", section);
    const size_t key = text.find("\nInitWait=", section);
    if (key == std::string::npos || key > nextSection)
        return "";
    const size_t begin = key + 10;
    return text.substr(begin, text.find_first_of("\r\n", begin) - begin);
}

std::vector<std::wstring> LibraryCalls(const std::vector<std::wstring>& lines, const std::wstring& library)
{
    std::vector<std::wstring> calls;
    const std::wstring prefix = library + L"\t";
    for (const std::wstring& line : lines)
    {
        if (line.compare(0, prefix.size(), prefix) == 0)
            calls.push_back(line.substr(prefix.size()));
    }
    return calls;
}
}  // namespace harness
