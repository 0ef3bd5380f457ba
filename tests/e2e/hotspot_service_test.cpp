// "/INSTALLSVR" end to end: the service executable stand-in is placed where the suite's installer leaves it, the
// registered copy where the service runs from, and the outcome is read from files, registry, journal and log.
// Files are compared whole inside EXPECT_TRUE, so that no executable is printed into a failure message.
#include <gtest/gtest.h>

#include <regex>

#include "harness/support.h"

using namespace harness;

namespace
{
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr";
const std::wstring kTarget = L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe";
const std::wstring kSetAside = kTarget + L".Temp";
const std::wstring kOtherFile = L"C:\\HotspotImage\\Other.exe";
const std::wstring kJournalInstall = L"TesmarWiFiHotspotSvr.exe\t\"" + kTarget + L"\" install";

// Where this machine's installer (`mine`) or the other machine's leaves the new executable.
std::wstring NewExecutable(bool mine = true)
{
    return std::wstring(IsWin64Machine() == mine ? L"C:\\Program Files (x86)" : L"C:\\Program Files") +
           L"\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe";
}

// A copy of the service stand-in with this file version; the product version is the same for every copy, so only
// the file version can tell them apart. Gives the bytes placed.
std::string Place(const std::wstring& path, Version4 version)
{
    const Version4 product = V(7);
    return PlaceVersioned(path, version, L"hotspotsvr.exe", &product);
}

void RegisterImagePath(const std::wstring& imagePath)
{
    SetString(View::Default, kServiceKey, L"ImagePath", imagePath, REG_EXPAND_SZ);
}

// True when the lingering service stand-in was ended by the chore (the harness would end it with 0xDEAD).
bool EndedByChore(Child& service)
{
    DWORD exitCode = 0xDEAD;
    return service.Wait(5000, &exitCode) && exitCode == 0;
}

// The messages of the run's error entries; an empty `pattern` expects none, otherwise exactly one matching it.
void ExpectErrors(const std::wstring& pattern = L"")
{
    std::vector<std::wstring> errors;
    for (const LogLine& line : ReadLog())
    {
        if (line.kind == L"error")
            errors.push_back(line.message);
    }
    ASSERT_EQ(errors.size(), pattern.empty() ? 0u : 1u);
    if (!pattern.empty())
    {
        EXPECT_TRUE(std::regex_match(errors[0], std::wregex(pattern))) << errors[0];
    }
}

class HotspotService : public ::testing::Test
{
protected:
    Tidy tidy_{[] {
        DeleteKeyEverywhere(kServiceKey);
        for (const std::wstring& file : {kTarget, kSetAside})
            RemoveFile(file);
        RemoveTree(L"C:\\HotspotImage");
        RemoveTree(L"C:\\Program Files (x86)\\Tesmar");
        RemoveTree(L"C:\\Program Files\\Tesmar");
        if (!IsWin64Machine())
            RemoveDirectoryW(L"C:\\Program Files (x86)");  // made for the other machine's installer
    }};
    LogFolder log_;
    Journal journal_;
};

TEST_F(HotspotService, FirstInstallMovesTheExecutableIntoPlaceAndRunsItsInstall)
{
    const std::string fresh = Place(NewExecutable(), V(2));
    const std::string otherMachines = Place(NewExecutable(false), V(3));
    WriteBytes(kTarget, "leftover");
    SetFileAttributesW(kTarget.c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(RunInstelix(L"-installsvr").exitCode, 1u);

    EXPECT_TRUE(ReadBytes(kTarget) == fresh);
    EXPECT_FALSE(FileExists(NewExecutable()));
    EXPECT_TRUE(ReadBytes(NewExecutable(false)) == otherMachines);
    EXPECT_EQ(journal_.Lines(), std::vector<std::wstring>{kJournalInstall});
    DWORD type = 0;
    std::vector<BYTE> imagePath;
    ASSERT_TRUE(GetValue(View::Default, kServiceKey, L"ImagePath", &type, &imagePath));
    EXPECT_TRUE(ReadBytes(reinterpret_cast<const wchar_t*>(imagePath.data())) == fresh);
    ExpectErrors();
}

TEST_F(HotspotService, RefreshEndsTheServiceAndSwapsAnOlderRegisteredExecutable)
{
    const std::string registered = Place(kTarget, V(1));
    const std::string fresh = Place(NewExecutable(), V(1, 0, 0, 1));
    WriteBytes(kSetAside, "stale");
    RegisterImagePath(L"%SystemRoot%\\System32\\TesmarWiFiHotspotSvr.exe");
    Child service(kTarget, L"\"" + kTarget + L"\" --linger");
    HANDLE serviceProcess = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                        FirstProcessNamed(L"TesmarWiFiHotspotSvr.exe", true));
    ASSERT_NE(serviceProcess, nullptr);

    EXPECT_EQ(RunInstelix(L"/INSTALLSVR").exitCode, 1u);
    FILETIME runEnded, created, serviceEnded, kernel, user;
    GetSystemTimeAsFileTime(&runEnded);

    EXPECT_TRUE(EndedByChore(service));
    ASSERT_TRUE(GetProcessTimes(serviceProcess, &created, &serviceEnded, &kernel, &user));
    CloseHandle(serviceProcess);
    // The executable is only moved once the ended service has had its pause to let go of it.
    auto ms = [](const FILETIME& t)
    { return (static_cast<long long>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000; };
    EXPECT_GE(ms(runEnded) - ms(serviceEnded), 300);
    EXPECT_TRUE(ReadBytes(kTarget) == fresh);
    EXPECT_TRUE(ReadBytes(kSetAside) == registered);
    EXPECT_FALSE(FileExists(NewExecutable()));
    EXPECT_EQ(journal_.Lines().size(), 1u) << "only the service's own start, no install run";
    ExpectErrors();
}

TEST_F(HotspotService, RefreshTakesOnlyTheVersionFromImagePathAndFillsTheFixedTarget)
{
    const std::string other = Place(kOtherFile, V(1));
    const std::string fresh = Place(NewExecutable(), V(2));
    WriteBytes(kSetAside, "stale");
    RegisterImagePath(kOtherFile);

    EXPECT_EQ(RunInstelix(L"-INSTALLSVR").exitCode, 1u);

    EXPECT_TRUE(ReadBytes(kTarget) == fresh);
    EXPECT_FALSE(FileExists(kSetAside));
    EXPECT_TRUE(ReadBytes(kOtherFile) == other);
}

TEST_F(HotspotService, InstallOrRefreshThatFailsEndsWithZeroAndLogsWhy)
{
    const std::wstring readVersion = L" InstallSvr GetFileVersion TesmarWiFiHotspotSvr failed:";
    const std::wstring refused = L" InstallSvr TesmarWiFiHotspotSvr failed:";
    const struct
    {
        const char* name;
        bool registeredKey;        // the service key exists
        const wchar_t* imagePath;  // null: the key has no ImagePath
        Version4 registered, offered;
        std::wstring message;
        bool moved = false;  // the offered file took the registered one's place
    } cases[] = {
        {"first install, new executable missing", false, nullptr, kNoFile, kNoFile, refused + L"2"},
        // A first install moves the file before it runs its install.
        {"first install, new executable cannot be started", false, nullptr, kNoFile, kUnversioned, refused + L"193",
         true},
        {"no ImagePath", true, nullptr, V(1), V(2), L" InstallSvr ReadRegString TesmarWiFiHotspotSvr failed:\\d+"},
        {"quoted ImagePath", true, L"\"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe\"", V(1), V(2),
         readVersion + L"\\d+"},
        {"ImagePath with arguments", true, L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe -service", V(1), V(2),
         readVersion + L"\\d+"},
        {"new executable missing", true, kTarget.c_str(), V(1), kNoFile, readVersion + L"2"},
        {"same version", true, kTarget.c_str(), V(1, 2, 3, 4), V(1, 2, 3, 4), refused + L"\\d+"},
        {"registered is newer", true, kTarget.c_str(), V(1, 2, 3, 5), V(1, 2, 3, 4), refused + L"\\d+"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        DeleteKeyEverywhere(kServiceKey);
        RemoveFile(kLogFile);
        RemoveFile(journal_.Path());
        const std::string registered = Place(kTarget, c.registered);
        const std::string fresh = Place(NewExecutable(), c.offered);
        if (c.registeredKey)
            SetString(View::Default, kServiceKey, L"Description", L"hotspot");
        if (c.imagePath != nullptr)
            RegisterImagePath(c.imagePath);

        EXPECT_EQ(RunInstelix(L"/installsvr").exitCode, 0u);

        EXPECT_TRUE(ReadBytes(kTarget) == (c.moved ? fresh : registered));
        EXPECT_TRUE(ReadBytes(NewExecutable()) == (c.moved ? "" : fresh));
        EXPECT_FALSE(FileExists(kSetAside));
        EXPECT_TRUE(journal_.Lines().empty());
        EXPECT_EQ(KeyExists(View::Default, kServiceKey), c.registeredKey);
        ExpectErrors(c.message);
    }
}

TEST_F(HotspotService, FailedFinalMovePutsThePreviousExecutableBack)
{
    const std::string previous = Place(kTarget, V(1));
    const std::string fresh = Place(NewExecutable(), V(2));
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
    EXPECT_TRUE(ReadBytes(kTarget) == previous);
    EXPECT_FALSE(FileExists(kSetAside));
    EXPECT_TRUE(ReadBytes(NewExecutable()) == fresh);
    ExpectErrors(L" InstallSvr MyMoveFile failed:32");
}
}  // namespace
