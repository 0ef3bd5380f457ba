#include <gtest/gtest.h>

#include "harness/support.h"
#include "support/files.h"

using namespace harness;

namespace
{
FileVersion Version(WORD major, WORD minor, WORD build, WORD revision)
{
    return {MAKELONG(revision, build), MAKELONG(minor, major)};
}
}  // namespace

TEST(GetFileVersion, ReadsTheFixedFileVersionNotTheProductVersion)
{
    TempFolder temp(L"instelix-versions");
    const WORD file[4] = {40000, 2, 3, 4}, product[4] = {9, 0, 0, 0};
    CopyWithVersion(FixturePath(L"recorder.exe"), temp / L"versioned.exe", file, product);
    FileVersion version = {};
    ASSERT_TRUE(GetFileVersion((temp / L"versioned.exe").c_str(), &version));
    EXPECT_EQ(version.high, 0x9C400002u);
    EXPECT_EQ(version.low, 0x00030004u);

    // No file, no resource, no version block: the output is left alone.
    WriteBytes(temp / L"plain.txt", "no resource here");
    const std::wstring paths[] = {L"C:\\no such folder\\x.exe", temp / L"plain.txt", FixturePath(L"recorder.exe")};
    for (const wchar_t* path : {static_cast<const wchar_t*>(nullptr), paths[0].c_str(), paths[1].c_str(),
                                paths[2].c_str()})
    {
        FileVersion untouched = {0x11111111, 0x22222222};
        EXPECT_FALSE(GetFileVersion(path, &untouched)) << (path != nullptr ? path : L"null");
        EXPECT_EQ(untouched.low, 0x11111111u);
        EXPECT_EQ(untouched.high, 0x22222222u);
    }
}

TEST(IsVersionOlder, OrdersBothWordsUnsigned)
{
    const struct
    {
        FileVersion a, b;
        bool older;
    } cases[] = {
        {Version(1, 2, 3, 4), Version(1, 2, 3, 5), true},
        {Version(1, 2, 3, 4), Version(1, 2, 3, 4), false},
        {Version(2, 0, 0, 0), Version(1, 9, 9, 9), false},
        {Version(1, 0, 1, 0), Version(1, 0, 40000, 0), true},  // low word unsigned
        {Version(1, 9, 65535, 65535), Version(2, 0, 0, 0), true},
        // A major of 32768 or more is newer, not older: a signed compare would downgrade such an install.
        {Version(32768, 0, 0, 0), Version(1, 0, 0, 0), false},
        {Version(1, 0, 0, 0), Version(32768, 0, 0, 0), true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsVersionOlder(c.a, c.b), c.older) << std::hex << c.a.high << "." << c.a.low << " vs " << c.b.high
                                                     << "." << c.b.low;
}

TEST(MyMoveFile, KeepsAttributesAndReplacesReadOnlyTargets)
{
    const DWORD kRO = FILE_ATTRIBUTE_READONLY, kHidden = FILE_ATTRIBUTE_HIDDEN, kSystem = FILE_ATTRIBUTE_SYSTEM;
    const struct
    {
        const char* name;
        bool source, target;
        DWORD sourceAttributes, targetAttributes;
        bool moved;
        const char* content;    // at the target afterwards
        DWORD finalAttributes;  // of the target afterwards
    } cases[] = {
        {"keeps the source's attributes", true, false, kRO | kHidden, 0, true, "new", kRO | kHidden},
        {"replaces a read-only target", true, true, 0, kRO | kSystem, true, "new", 0},
        {"missing source", false, true, 0, kRO, false, "old", kRO},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempFolder temp(L"instelix-move");
        const std::wstring source = temp / L"source.exe", target = temp / L"target.exe";
        if (c.source)
            WriteBytes(source, "new");
        if (c.target)
            WriteBytes(target, "old");
        SetFileAttributesW(source.c_str(), c.sourceAttributes | FILE_ATTRIBUTE_ARCHIVE);
        SetFileAttributesW(target.c_str(), c.targetAttributes | FILE_ATTRIBUTE_ARCHIVE);
        EXPECT_EQ(MyMoveFile(source.c_str(), target.c_str()), c.moved);
        EXPECT_EQ(ReadBytes(target), c.content);
        EXPECT_EQ(GetFileAttributesW(target.c_str()) & (kRO | kHidden | kSystem), c.finalAttributes);
        EXPECT_FALSE(FileExists(source));
    }
}

// Z: is the Linux root in every Wine machine; /dev/shm is a different file system from the build's D:.
TEST(MyMoveFile, DoesNotCopyAcrossVolumes)
{
    wchar_t target[MAX_PATH];
    ASSERT_NE(GetTempFileNameW(L"Z:\\dev\\shm", L"ixm", 0, target), 0u) << "no Z:\\dev\\shm on this machine";
    TempFolder temp(L"instelix-move");
    WriteBytes(temp / L"source.exe", "new");
    EXPECT_FALSE(MyMoveFile((temp / L"source.exe").c_str(), target));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
    EXPECT_EQ(ReadBytes(temp / L"source.exe"), "new");
    EXPECT_EQ(ReadBytes(target), "");
    RemoveFile(target);
}

TEST(Is64BitWindows, FollowsTheSystemNotTheProgramFilesFolder)
{
    // Only 64-bit Windows has a WOW64 system folder; a "Program Files (x86)" folder on 32-bit Windows misleads.
    wchar_t wow64[MAX_PATH];
    const bool win64 = GetSystemWow64DirectoryW(wow64, MAX_PATH) != 0;
    const wchar_t kX86[] = L"C:\\Program Files (x86)";
    const bool created = !win64 && CreateDirectoryW(kX86, nullptr);
    ASSERT_TRUE(PathIsFolder(kX86));
    EXPECT_EQ(Is64BitWindows(), win64);
    if (created)
        RemoveDirectoryW(kX86);
}

// A version.dll planted beside the program must not be the one that reads versions.
TEST(GetFileVersion, IgnoresAPlantedVersionDll)
{
    TempFolder plant(L"instelix-plant");
    const std::wstring probe = plant / L"versionprobe.exe";
    ASSERT_TRUE(CopyFileW(FixturePath(L"versionprobe.exe").c_str(), probe.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(FixturePath(L"version_standin.dll").c_str(), (plant / L"version.dll").c_str(), FALSE));
    const WORD file[4] = {1, 2, 3, 4};
    CopyWithVersion(FixturePath(L"recorder.exe"), plant / L"versioned.exe", file, file);
    // Wine: the load order that prefers a native version.dll beside the program, for this program only (the same as
    // WINEDLLOVERRIDES=version=n,b, which a program started from inside Wine does not take from its environment).
    const wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults\\versionprobe.exe";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, (std::wstring(kAppDefaults) + L"\\DllOverrides").c_str(), L"version",
                              REG_SZ, L"native,builtin", sizeof(L"native,builtin")),
              ERROR_SUCCESS);
    Journal journal;
    // The first run shows that an ordinary load beside this program takes the planted copy.
    EXPECT_EQ(RunProbe(L"-plainload", probe).exitCode, 0u);
    EXPECT_EQ(RunProbe(plant / L"versioned.exe", probe).exitCode, 0u);
    RegDeleteTreeW(HKEY_CURRENT_USER, kAppDefaults);
    RegDeleteKeyW(HKEY_CURRENT_USER, kAppDefaults);
    EXPECT_EQ(journal.Lines(), (std::vector<std::wstring>{L"plainload\tstandin", L"version\t1.2.3.4"}));
}
