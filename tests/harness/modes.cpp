#include "harness/modes.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "harness/harness.h"

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
    const std::wstring folder = target.substr(0, target.find_last_of(L'\\'));
    for (size_t at = folder.find(L'\\', 3);; at = folder.find(L'\\', at + 1))
    {
        const std::wstring dir = folder.substr(0, at);
        if (CreateDirectoryW(dir.c_str(), nullptr))
            createdDirs_.push_back(dir);
        if (at == std::wstring::npos)
            break;
    }
    EXPECT_TRUE(CopyFileW(FixturePath(fixture).c_str(), target.c_str(), FALSE)) << "placing " << fixture.c_str();
}

PlacedLibrary::~PlacedLibrary()
{
    RemoveFile(target_);
    for (auto dir = createdDirs_.rbegin(); dir != createdDirs_.rend(); ++dir)
        RemoveDirectoryW(dir->c_str());
}

static std::wstring ShellFolder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"instelix-shell";
    MakeDirs(folder);
    const std::wstring shell = folder + L"\\explorer.exe";
    EXPECT_TRUE(CopyFileW(FixturePath(L"recorder.exe").c_str(), shell.c_str(), FALSE)) << "placing the shell";
    return folder;
}

ScopedShell::ScopedShell()
    : folder_(ShellFolder()), shell_(folder_ + L"\\explorer.exe", L"explorer.exe --linger")
{
    EXPECT_TRUE(shell_.Running()) << "starting the stand-in shell";
}

ScopedShell::~ScopedShell()
{
    shell_.Kill();
    RemoveTree(folder_);
}

CleanSettingsKey::CleanSettingsKey()
{
    DeleteKeyEverywhere(kSettingsKey);
}

CleanSettingsKey::~CleanSettingsKey()
{
    DeleteKeyEverywhere(kSettingsKey);
}

ScopedProfile::ScopedProfile()
{
    wchar_t folder[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE);
    path_ = std::wstring(folder) + L"\\tmspr_prof.cfg";
    had_ = FileExists(path_);
    if (had_)
        saved_ = ReadBytes(path_);
    RemoveFile(path_);
}

ScopedProfile::~ScopedProfile()
{
    RemoveFile(path_);
    if (had_)
        WriteBytes(path_, saved_);
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
