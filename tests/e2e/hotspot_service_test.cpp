// "/INSTALLSVR" end to end: the service executable stand-in is placed where the suite's installer leaves it, the
// registered copy where the service runs from, and the outcome is read from files, registry, journal and log.
#include <gtest/gtest.h>

#include <regex>

#include "harness/harness.h"

#include <tlhelp32.h>

using namespace harness;

namespace
{
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr";
const std::wstring kTarget = L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe";
const std::wstring kSetAside = kTarget + L".Temp";
const std::wstring kRoot64 = L"C:\\Program Files (x86)";
const std::wstring kRoot32 = L"C:\\Program Files";
const std::wstring kSuiteFolder = L"\\Tesmar\\Tesmar Settings";
const std::wstring kExecutableName = L"\\TesmarWiFiHotspotSvr.exe";
const std::wstring kOtherFolder = L"C:\\HotspotImage";
const std::wstring kOtherFile = kOtherFolder + L"\\Other.exe";
const std::wstring kLogFolder = L"D:\\DeviceControl";
const std::wstring kJournalInstall = L"TesmarWiFiHotspotSvr.exe\t\"" + kTarget + L"\" install";

struct Version
{
    WORD parts[4];
};

// A handle to the running service stand-in, found by its image name.
HANDLE OpenRunningService()
{
    HANDLE process = nullptr;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && process == nullptr;
         more = Process32NextW(snapshot, &entry))
    {
        if (lstrcmpiW(entry.szExeFile, L"TesmarWiFiHotspotSvr.exe") == 0)
            process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return process;
}

long long Milliseconds(const FILETIME& time)
{
    return static_cast<long long>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10000;
}

class HotspotService : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CleanUp();
        MakeDirs(Root(true) + kSuiteFolder);
        MakeDirs(Root(false) + kSuiteFolder);
        MakeDirs(kOtherFolder);
        MakeDirs(kLogFolder);
    }

    void TearDown() override { CleanUp(); }

    // The suite folder this machine's installer uses (`mine`), or the other machine's.
    static std::wstring Root(bool mine) { return IsWin64Machine() == mine ? kRoot64 : kRoot32; }
    static std::wstring NewExecutable(bool mine = true) { return Root(mine) + kSuiteFolder + kExecutableName; }

    static void CleanUp()
    {
        DeleteKeyEverywhere(kServiceKey);
        for (const std::wstring& file : {kTarget, kSetAside, kOtherFile, NewExecutable(true), NewExecutable(false)})
            RemoveFile(file);
        for (const std::wstring& root : {kRoot64, kRoot32})
        {
            RemoveDirectoryW((root + kSuiteFolder).c_str());
            RemoveDirectoryW((root + L"\\Tesmar").c_str());
        }
        if (!IsWin64Machine())
            RemoveDirectoryW(kRoot64.c_str());
        RemoveDirectoryW(kOtherFolder.c_str());
        RemoveTree(kLogFolder);
    }

    // A copy of the service stand-in with this file version; the product version is the same for every copy.
    static std::string Place(const std::wstring& path, Version version)
    {
        const WORD product[4] = {7, 0, 0, 0};
        CopyWithVersion(FixturePath(L"hotspotsvr.exe"), path, version.parts, product);
        return ReadBytes(path);
    }

    static void RegisterImagePath(const std::wstring& imagePath)
    {
        SetString(View::Default, kServiceKey, L"ImagePath", imagePath, REG_EXPAND_SZ);
    }

    // Compares whole files without printing executables into the failure message.
    static ::testing::AssertionResult Holds(const std::wstring& path, const std::string& bytes)
    {
        const std::string found = ReadBytes(path);
        if (found == bytes)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the file holds " << found.size() << " other bytes, expected "
                                             << bytes.size();
    }

    // True when the lingering service stand-in was ended by the chore (the harness would end it with 0xDEAD).
    static bool EndedByChore(Child& service)
    {
        DWORD exitCode = 0xDEAD;
        return service.Wait(5000, &exitCode) && exitCode == 0;
    }

    // The messages of the run's error entries, each as the caller formatted it.
    static std::vector<std::wstring> LoggedErrors()
    {
        const std::wstring text = Utf16FromBytes(ReadBytes(kLogFolder + L"\\em9.Log"));
        const std::wregex line(L" ?\\[\\d+-\\d+-\\d+ \\d+:\\d+:\\d+ \\d+\\] <<<=Ts (error|Debug )=>>>: (.*?)\\r\\n ");
        std::vector<std::wstring> errors;
        for (std::wsregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        {
            if ((*it)[1] == L"error")
                errors.push_back((*it)[2]);
        }
        return errors;
    }

    static void ExpectOneError(const std::wstring& pattern)
    {
        const std::vector<std::wstring> errors = LoggedErrors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(std::regex_match(errors[0], std::wregex(pattern))) << errors[0].c_str();
    }
};

TEST_F(HotspotService, FirstInstallMovesTheExecutableIntoPlaceAndRunsItsInstall)
{
    const std::string fresh = Place(NewExecutable(), {2, 0, 0, 0});
    const std::string otherMachines = Place(NewExecutable(false), {3, 0, 0, 0});
    WriteBytes(kTarget, "leftover");
    SetFileAttributesW(kTarget.c_str(), FILE_ATTRIBUTE_READONLY);
    Journal journal;

    EXPECT_EQ(RunInstelix(L"-installsvr").exitCode, 1u);

    EXPECT_TRUE(Holds(kTarget, fresh));
    EXPECT_FALSE(FileExists(NewExecutable()));
    EXPECT_TRUE(Holds(NewExecutable(false), otherMachines));
    EXPECT_EQ(journal.Lines(), std::vector<std::wstring>{kJournalInstall});
    DWORD type = 0;
    std::vector<BYTE> imagePath;
    ASSERT_TRUE(GetValue(View::Default, kServiceKey, L"ImagePath", &type, &imagePath));
    EXPECT_TRUE(Holds(reinterpret_cast<const wchar_t*>(imagePath.data()), fresh));
    EXPECT_TRUE(LoggedErrors().empty());
}

TEST_F(HotspotService, FirstInstallFailureIsLoggedAndEndsWithZero)
{
    const struct
    {
        const char* name;
        const char* newBytes;  // null: no new executable
        const wchar_t* message;
    } cases[] = {
        {"new executable missing", nullptr, L" InstallSvr TesmarWiFiHotspotSvr failed:2"},
        {"new executable cannot be started", "not a program", L" InstallSvr TesmarWiFiHotspotSvr failed:193"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.newBytes != nullptr)
            WriteBytes(NewExecutable(), c.newBytes);
        Journal journal;

        EXPECT_EQ(RunInstelix(L"/INSTALLSVR").exitCode, 0u);

        EXPECT_TRUE(journal.Lines().empty());
        EXPECT_FALSE(KeyExists(View::Default, kServiceKey));
        ExpectOneError(c.message);
    }
}

TEST_F(HotspotService, RefreshEndsTheServiceAndSwapsAnOlderRegisteredExecutable)
{
    const std::string registered = Place(kTarget, {1, 0, 0, 0});
    const std::string fresh = Place(NewExecutable(), {1, 0, 0, 1});
    WriteBytes(kSetAside, "stale");
    RegisterImagePath(L"%SystemRoot%\\System32\\TesmarWiFiHotspotSvr.exe");
    Journal journal;
    Child service(kTarget, L"\"" + kTarget + L"\" --linger");
    HANDLE serviceProcess = OpenRunningService();
    ASSERT_NE(serviceProcess, nullptr);

    EXPECT_EQ(RunInstelix(L"/INSTALLSVR").exitCode, 1u);
    FILETIME runEnded;
    GetSystemTimeAsFileTime(&runEnded);

    EXPECT_TRUE(EndedByChore(service));
    FILETIME created, serviceEnded, kernel, user;
    ASSERT_TRUE(GetProcessTimes(serviceProcess, &created, &serviceEnded, &kernel, &user));
    CloseHandle(serviceProcess);
    // The executable is only moved once the ended service has had its pause to let go of it.
    EXPECT_GE(Milliseconds(runEnded) - Milliseconds(serviceEnded), 300);
    EXPECT_TRUE(Holds(kTarget, fresh));
    EXPECT_TRUE(Holds(kSetAside, registered));
    EXPECT_FALSE(FileExists(NewExecutable()));
    EXPECT_EQ(journal.Lines().size(), 1u) << "only the service's own start, no install run";
    EXPECT_TRUE(LoggedErrors().empty());
}

TEST_F(HotspotService, RefreshTakesOnlyTheVersionFromImagePathAndFillsTheFixedTarget)
{
    const std::string other = Place(kOtherFile, {1, 0, 0, 0});
    const std::string fresh = Place(NewExecutable(), {2, 0, 0, 0});
    WriteBytes(kSetAside, "stale");
    RegisterImagePath(kOtherFile);

    EXPECT_EQ(RunInstelix(L"-INSTALLSVR").exitCode, 1u);

    EXPECT_TRUE(Holds(kTarget, fresh));
    EXPECT_FALSE(FileExists(kSetAside));
    EXPECT_TRUE(Holds(kOtherFile, other));
}

TEST_F(HotspotService, RefreshThatCannotProceedMovesNothing)
{
    const std::wstring readVersion = L" InstallSvr GetFileVersion TesmarWiFiHotspotSvr failed:";
    const struct
    {
        const char* name;
        const wchar_t* imagePath;  // null: the key has no ImagePath
        Version registered;
        Version offered;  // all zero: no new executable
        std::wstring message;
    } cases[] = {
        {"no ImagePath", nullptr, {1}, {2}, L" InstallSvr ReadRegString TesmarWiFiHotspotSvr failed:\\d+"},
        {"quoted ImagePath", L"\"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe\"", {1}, {2}, readVersion + L"\\d+"},
        {"ImagePath with arguments", L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe -service", {1}, {2},
         readVersion + L"\\d+"},
        {"new executable missing", kTarget.c_str(), {1}, {0}, readVersion + L"2"},
        {"same version", kTarget.c_str(), {1, 2, 3, 4}, {1, 2, 3, 4}, L" InstallSvr TesmarWiFiHotspotSvr failed:\\d+"},
        {"registered is newer", kTarget.c_str(), {1, 2, 3, 5}, {1, 2, 3, 4},
         L" InstallSvr TesmarWiFiHotspotSvr failed:\\d+"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetUp();
        const std::string registered = Place(kTarget, c.registered);
        const std::string fresh = c.offered.parts[0] != 0 ? Place(NewExecutable(), c.offered) : std::string();
        SetString(View::Default, kServiceKey, L"Description", L"hotspot");
        if (c.imagePath != nullptr)
            RegisterImagePath(c.imagePath);

        EXPECT_EQ(RunInstelix(L"/installsvr").exitCode, 0u);

        EXPECT_TRUE(Holds(kTarget, registered));
        EXPECT_TRUE(Holds(NewExecutable(), fresh));
        EXPECT_FALSE(FileExists(kSetAside));
        ExpectOneError(c.message);
    }
}

TEST_F(HotspotService, FailedFinalMovePutsThePreviousExecutableBack)
{
    const std::string previous = Place(kTarget, {1, 0, 0, 0});
    const std::string fresh = Place(NewExecutable(), {2, 0, 0, 0});
    RegisterImagePath(kTarget);
    Child service(kTarget, L"\"" + kTarget + L"\" --linger");
    // Held without delete sharing, the new executable cannot be renamed.
    HANDLE holder = CreateFileW(NewExecutable().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    const DWORD exitCode = RunInstelix(L"/INSTALLSVR").exitCode;
    CloseHandle(holder);

    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(EndedByChore(service));
    EXPECT_TRUE(Holds(kTarget, previous));
    EXPECT_FALSE(FileExists(kSetAside));
    EXPECT_TRUE(Holds(NewExecutable(), fresh));
    ExpectOneError(L" InstallSvr MyMoveFile failed:32");
}
}  // namespace
