#include "harness/support.h"

#include "fixtures/standin.h"
#include "support/unique.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <regex>

namespace harness
{
const wchar_t kLogFolder[] = L"D:\\DeviceControl";
const wchar_t kLogFile[] = L"D:\\DeviceControl\\em9.Log";

void RemoveLogFolders()
{
    RemoveTree(kLogFolder);
    RemoveTree(L"D:\\DeviceControl.gone");
}

LogFolder::LogFolder()
{
    RemoveLogFolders();
    MakeDirs(kLogFolder);
}

LogFolder::~LogFolder()
{
    RemoveLogFolders();
}

bool ParseLog(const std::wstring& text, std::vector<LogLine>* lines)
{
    const std::wstring n = L"(?:0|[1-9]\\d{0,9})", u = L"(" + n + L")";  // unpadded numbers
    static const std::wregex layout(L"\\[" + u + L"-" + u + L"-" + u + L" " + u + L":" + u + L":" + u + L" (-?" + n +
                                    L")\\] <<<=Ts (error|Debug )=>>>: ([^\\r\\n\\[]*)\\r\\n ");
    lines->clear();
    std::wsmatch match;
    for (auto at = text.cbegin(); at != text.cend(); at = match[0].second)
    {
        if (!std::regex_search(at, text.cend(), match, layout, std::regex_constants::match_continuous))
            return false;
        LogLine line;
        for (int i = 0; i < 6; ++i)
            line.stamp[i] = static_cast<int>(std::stoll(match[i + 1]));
        line.sequence = static_cast<int>(std::stoll(match[7]));
        line.kind = match[8];
        line.message = match[9];
        lines->push_back(line);
    }
    return true;
}

std::vector<LogLine> ReadLog(const std::wstring& path)
{
    std::vector<LogLine> lines;
    const std::string bytes = ReadBytes(path);
    EXPECT_EQ(bytes.size() % 2, 0u) << "odd byte count in " << std::string(path.begin(), path.end());
    EXPECT_TRUE(ParseLog(Utf16FromBytes(bytes), &lines)) << "layout broken after line " << lines.size();
    return lines;
}

std::wstring LogText()
{
    return Utf16FromBytes(ReadBytes(kLogFile));
}

size_t Occurrences(const std::wstring& text, const std::wstring& piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

RunResult RunProbe(const std::wstring& steps, const std::wstring& probe)
{
    const std::wstring program = probe.empty() ? FixturePath(L"supportprobe.exe") : probe;
    return Run(program, L"\"" + program + L"\" " + steps, 30000);
}

long long UtcSeconds(const int s[6])
{
    return ((((s[0] * 100LL + s[1]) * 100 + s[2]) * 100 + s[3]) * 100 + s[4]) * 100 + s[5];
}

long long UtcSecondsNow()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    const int stamp[6] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    return UtcSeconds(stamp);
}

bool PathIsFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CanReadModuleLists()
{
    // Not asked by trying: where the answer is no, the failing call also leaves the calling process unstable.
    // Wine's 32-bit side runs under emulation exactly when the scripts registered the emulator for i386 programs.
    return !FileExists(L"Z:\\proc\\sys\\fs\\binfmt_misc\\qemu-i386");
}

void RegisterNeedingModuleLists(const char* suite, const char* name, void (*body)())
{
    class Body : public testing::Test
    {
    public:
        explicit Body(void (*body)()) : body_(body) {}
        void TestBody() override { body_(); }

    private:
        void (*body_)();
    };
    const std::string shown =
        CanReadModuleLists() ? std::string(name) : "DISABLED_" + std::string(name) + "_NoModuleListsOnThisMachine";
    testing::RegisterTest(suite, shown.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                          [body]() -> testing::Test* { return new Body(body); });
}

// Returns once the lingering stand-in has started for good, or after 10 s.
static void WaitUntilLoaded(const Child& child)
{
    // Not by reading its module list: Wine walks the list of a process that has not finished starting for ever.
    wchar_t name[64];
    StandinLingeringEventName(child.Id(), name);
    for (int tries = 0; tries < 1000 && child.Running(); ++tries, Sleep(10))
    {
        if (UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, name)))
            return;
    }
}

Child StartLingering(const std::wstring& path, const std::wstring& fixture)
{
    MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    RemoveFile(path);
    EXPECT_TRUE(CopyFileW(FixturePath(fixture).c_str(), path.c_str(), FALSE)) << GetLastError();
    Child child(path, L"\"" + path + L"\" --linger");
    WaitUntilLoaded(child);
    EXPECT_TRUE(child.Running()) << "stand-in did not start";
    return child;
}

std::string PlaceVersioned(const std::wstring& path, const Version4& version, const std::wstring& fixture,
                           const Version4* product)
{
    RemoveFile(path);
    MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    if (version == kUnversioned)
        WriteBytes(path, "not a program");
    else if (version != kNoFile)
        CopyWithVersion(FixturePath(fixture), path, version.data(), (product != nullptr ? *product : version).data());
    return ReadBytes(path);
}

std::vector<Child> StartLingering(const TempFolder& folder, const std::vector<std::wstring>& images)
{
    std::vector<Child> running;
    for (size_t i = 0; i < images.size(); ++i)
        running.push_back(StartLingering(folder / (std::to_wstring(i) + L"\\" + images[i])));
    return running;
}

DWORD FirstProcessNamed(const std::wstring& image, bool anyCase)
{
    DWORD id = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && id == 0; more = Process32NextW(snapshot, &entry))
    {
        if ((anyCase ? lstrcmpiW : lstrcmpW)(entry.szExeFile, image.c_str()) == 0)
            id = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    return id;
}

TempFolder::TempFolder(const std::wstring& name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + name;
    RemoveTree(path_);
    MakeDirs(path_);
}

TempFolder::~TempFolder()
{
    RemoveTree(path_);
}
}  // namespace harness
