// Faults around the support routines: registry values of the wrong type or size and keys without access, file
// moves that cannot happen, a log that is held, locked or unwritable, and writers that race one another.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "harness/hostile.h"
#include "harness/support.h"
#include "support/files.h"
#include "support/registry.h"

using namespace harness;

namespace
{
// Under SYSTEM\CurrentControlSet, so the string routines (default view) and the DWORD routines (64-bit view) meet.
const wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Services\\InstelixFaults";

class RegistryFaults : public ::testing::Test
{
protected:
    void SetUp() override { DeleteKeyEverywhere(kKey); }
    void TearDown() override { DeleteKeyEverywhere(kKey); }
};
}  // namespace

// Values of the wrong type or size read as their raw bytes or not at all; a stored text that fits can still expand
// past the buffer, and the read must then fail rather than give a cut path.
TEST_F(RegistryFaults, OddTypesAndSizesReadAsRawBytesOrFail)
{
    wchar_t folder[MAX_PATH];
    ASSERT_GT(ExpandEnvironmentStringsW(L"%CommonProgramFiles%", folder, MAX_PATH), 1u);
    const std::wstring expands = L"%CommonProgramFiles%", tail(259 - wcslen(folder), L'a');
    struct Case
    {
        const char* name;
        DWORD type;
        std::string bytes;
        bool dwordRead;
        DWORD dword;
        bool stringRead;
        std::wstring text;
    };
    const Case cases[] = {
        {"empty dword", REG_DWORD, "", true, 0, true, L""},
        {"odd-sized binary", REG_BINARY, std::string("A\0B", 3), true, 0x420041, true, L"AB"},
        {"600-byte binary", REG_BINARY, std::string(600, 'A'), false, 0, false, L""},
        {"multi-string", REG_MULTI_SZ, Utf16Bytes(L"first") + Utf16Bytes(L"second") + Utf16Bytes(L""), false, 0, true,
         L"first"},
        {"string with an inner terminator", REG_SZ, Utf16Bytes(L"ab") + Utf16Bytes(L"cd"), false, 0, true, L"ab"},
        {"259 characters once expanded", REG_EXPAND_SZ, Utf16Bytes(expands + tail), false, 0, true, folder + tail},
        {"260 characters once expanded", REG_EXPAND_SZ, Utf16Bytes(expands + tail + L"a"), false, 0, false, L""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetValue(View::Default, kKey, L"Value", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        DWORD value = 0xCAFEF00D;
        EXPECT_EQ(ReadRegDword(&value, kKey, L"Value"), c.dwordRead);
        EXPECT_EQ(value, c.dwordRead ? c.dword : 0xCAFEF00D);
        wchar_t text[kPathChars];
        wmemset(text, L'x', kPathChars);
        EXPECT_EQ(ReadRegString(kKey, L"Value", text), c.stringRead);
        EXPECT_EQ(std::wstring(text), c.text);
    }
}

TEST_F(RegistryFaults, KeysWithoutAccessFailAndKeepTheCallersValues)
{
    struct Case
    {
        const char* name;
        const wchar_t* rules;
        bool readable;
        bool writable;
    };
    const Case cases[] = {
        {"no access for anyone", L"D:", false, false},
        {"reading denied", L"D:(D;;KR;;;WD)(A;;KA;;;WD)", false, true},
        {"read only", L"D:(A;;KR;;;WD)", true, false},
        // Setting a value needs neither the right to delete the key nor to change its rules.
        {"read and write only", L"D:(A;;0x2001f;;;WD)", true, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetString(View::Default, kKey, L"Text", L"stored");
        SetDword(View::Bits64, kKey, L"Number", 7);
        {
            ScopedKeyAccess access(View::Default, kKey, c.rules);
            EXPECT_EQ(RegKeyExists(kKey), c.readable);
            wchar_t text[kPathChars] = L"untouched";
            EXPECT_EQ(ReadRegString(kKey, L"Text", text), c.readable);
            EXPECT_EQ(std::wstring(text), c.readable ? L"stored" : L"");
            DWORD value = 42;
            EXPECT_EQ(ReadRegDword(&value, kKey, L"Number"), c.readable);
            EXPECT_EQ(value, c.readable ? 7u : 42u);
            EXPECT_EQ(WriteRegDword(9, kKey, L"Number"), c.writable);
        }
        EXPECT_EQ(GetDword(View::Bits64, kKey, L"Number"), c.writable ? 9 : 7);
    }
}

TEST(FileFaults, AMoveThatCannotHappenLosesNoFile)
{
    enum Target
    {
        Plain,
        HiddenSystem,
        Folder,
        InMissingFolder,
    };
    enum Held
    {
        Nothing,
        Source,
        TargetFile,
    };
    struct Case
    {
        const char* name;
        Target target;
        Held held;  // opened by a reader that does not share deletion
        bool moved;
    };
    const Case cases[] = {
        {"source held by a reader", Plain, Source, false},
        {"target held by a reader", Plain, TargetFile, false},
        {"target folder missing", InMissingFolder, Nothing, false},
        {"target is a folder", Folder, Nothing, false},
        {"hidden system target", HiddenSystem, Nothing, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempFolder temp(L"instelix-move-faults");
        const std::wstring source = temp / L"source.exe";
        const std::wstring target = c.target == InMissingFolder ? temp / L"missing\\target.exe" : temp / L"target.exe";
        WriteBytes(source, "new");
        if (c.target == Folder)
            MakeDirs(target);
        else if (c.target != InMissingFolder)
            WriteBytes(target, "old");
        if (c.target == HiddenSystem)
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        HANDLE reader = c.held == Nothing ? INVALID_HANDLE_VALUE
                                          : CreateFileW((c.held == Source ? source : target).c_str(), GENERIC_READ,
                                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_EQ(reader == INVALID_HANDLE_VALUE, c.held == Nothing);

        const bool moved = MyMoveFile(source.c_str(), target.c_str());
        const DWORD error = GetLastError();
        if (reader != INVALID_HANDLE_VALUE)
            CloseHandle(reader);

        EXPECT_EQ(moved, c.moved);
        if (!moved)
        {
            EXPECT_NE(error, 0u) << "callers log the failed move's code";
        }
        EXPECT_EQ(ReadBytes(moved ? target : source), "new");
        if (!moved && c.target == Plain)
        {
            EXPECT_EQ(ReadBytes(target), "old");
        }
        if (c.target == Folder)
        {
            EXPECT_TRUE(PathIsFolder(target));
        }
    }
}

namespace
{
const std::string kEarlier("k\0e\0e\0p\0\r\0\n\0", 12);

// The lines after the earlier text, which must still lead the file.
std::vector<LogLine> LinesAfterEarlierText()
{
    const std::string bytes = ReadBytes(kLogFile);
    EXPECT_EQ(bytes.substr(0, kEarlier.size()), kEarlier) << "the earlier log text was lost";
    std::vector<LogLine> lines;
    EXPECT_TRUE(ParseLog(Utf16FromBytes(bytes.substr(std::min(bytes.size(), kEarlier.size()))), &lines));
    return lines;
}
}  // namespace

TEST(LogFaults, AHeldOrUnwritableLogNeverStallsTheProgramNorLosesItsText)
{
    enum Arrangement
    {
        ReaderDeniesWriting,
        ReaderLocksBriefly,  // a lock over the whole file, let go 300 ms into the run
        ReaderLocksForEver,
        ReadOnlyFile,
        HiddenFile,
    };
    constexpr int kAsTheSystemAllows = -1;  // as many as this process could append itself
    constexpr int kAllOrNone = -2;
    struct Case
    {
        const char* name;
        Arrangement arrangement;
        int lines;  // of the two the probe logs
    };
    const Case cases[] = {
        {"reader denies writing", ReaderDeniesWriting, 0},
        {"reader lets go of a whole-file lock during the run", ReaderLocksBriefly, 2},
        // Windows refuses writes into a range that another handle has locked, so both lines are lost there; Wine
        // does not enforce such locks on writes. Either way the program must not wait for the lock for ever.
        {"reader holds a whole-file lock", ReaderLocksForEver, kAllOrNone},
        // Wine run as root lets a read-only file be written; Windows refuses, and the lines are dropped.
        {"read-only file", ReadOnlyFile, kAsTheSystemAllows},
        {"hidden file", HiddenFile, 2},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        LogFolder folder;
        WriteBytes(kLogFile, kEarlier);
        if (c.arrangement == ReadOnlyFile || c.arrangement == HiddenFile)
        {
            SetFileAttributesW(kLogFile,
                               c.arrangement == ReadOnlyFile ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_HIDDEN);
        }
        HANDLE appender = CreateFileW(kLogFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
        const int expected = c.lines != kAsTheSystemAllows ? c.lines : appender != INVALID_HANDLE_VALUE ? 2 : 0;
        if (appender != INVALID_HANDLE_VALUE)
            CloseHandle(appender);
        const DWORD sharing =
            c.arrangement == ReaderDeniesWriting ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
        HANDLE reader = CreateFileW(kLogFile, GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        OVERLAPPED everything = {};
        const bool locks = c.arrangement == ReaderLocksBriefly || c.arrangement == ReaderLocksForEver;
        if (locks)
        {
            ASSERT_TRUE(LockFileEx(reader, 0, 0, MAXDWORD, MAXDWORD, &everything));
        }

        const std::wstring probe = FixturePath(L"supportprobe.exe");
        Child writer(probe, L"\"" + probe + L"\" error:one debug:two");
        if (c.arrangement == ReaderLocksBriefly)
        {
            Sleep(300);
            UnlockFileEx(reader, 0, MAXDWORD, MAXDWORD, &everything);
        }
        DWORD exitCode = 0xDEAD;
        EXPECT_TRUE(writer.Wait(10000, &exitCode)) << "the probe hangs";
        EXPECT_EQ(exitCode, 0u);
        if (c.arrangement == ReaderLocksForEver)
            UnlockFileEx(reader, 0, MAXDWORD, MAXDWORD, &everything);
        CloseHandle(reader);
        writer.Kill();

        SetFileAttributesW(kLogFile, FILE_ATTRIBUTE_NORMAL);
        const std::vector<LogLine> lines = LinesAfterEarlierText();
        if (expected == kAllOrNone)
        {
            EXPECT_TRUE(lines.empty() || lines.size() == 2) << lines.size() << " lines";
        }
        else
        {
            EXPECT_EQ(lines.size(), static_cast<size_t>(expected));
        }
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].sequence, static_cast<int>(i));
    }
}

namespace
{
// Four support probes, A to D, that each log `lines` error entries " NAME line:i", all starting at once.
class Writers
{
public:
    explicit Writers(int lines)
        : go_(CreateEventW(nullptr, TRUE, FALSE, L"InstelixFaultsGo")),
          ready_(CreateSemaphoreW(nullptr, 0, 16, L"InstelixFaultsGo-ready"))
    {
        const std::wstring probe = FixturePath(L"supportprobe.exe");
        for (const wchar_t* name : {L"A", L"B", L"C", L"D"})
            writers_.emplace_back(probe, L"\"" + probe + L"\" wait:InstelixFaultsGo burst:" + name + L":" +
                                             std::to_wstring(lines));
        for (size_t i = 0; i < writers_.size(); ++i)
            EXPECT_EQ(WaitForSingleObject(ready_, 20000), WAIT_OBJECT_0) << "a writer did not start";
        SetEvent(go_);
    }
    ~Writers()
    {
        CloseHandle(go_);
        CloseHandle(ready_);
    }
    bool Running() const
    {
        return std::any_of(writers_.begin(), writers_.end(), [](const Child& writer) { return writer.Running(); });
    }
    void Finish()
    {
        for (Child& writer : writers_)
            EXPECT_TRUE(writer.Wait(60000)) << "a writer hangs";
    }

private:
    HANDLE go_;
    HANDLE ready_;
    std::vector<Child> writers_;
};

// How many lines each writer left, checking that they come in its order with its numbers (a numbered line that
// went missing shows as a gap); the lines of no writer go to `others`.
std::map<std::wstring, int> LinesPerWriter(const std::vector<LogLine>& lines, std::vector<LogLine>* others)
{
    std::map<std::wstring, int> next;
    for (const LogLine& line : lines)
    {
        const size_t mark = line.message.find(L" line:");
        if (line.message.size() < 2 || mark != 2)
        {
            others->push_back(line);
            continue;
        }
        const std::wstring writer = line.message.substr(1, 1);
        EXPECT_EQ(line.message, L" " + writer + L" line:" + std::to_wstring(next[writer]));
        EXPECT_EQ(line.sequence, next[writer]++);
    }
    return next;
}
}  // namespace

TEST(LogFaults, FolderRemovedDuringABurstKeepsEveryNumberedLine)
{
    LogFolder folder;
    const wchar_t kGone[] = L"D:\\DeviceControl.gone";
    Writers writers(1000);
    // Taken away once lines flow; Windows refuses while a writer has the file open, so it is tried again.
    const DWORD start = GetTickCount();
    while (ReadBytes(kLogFile).size() < 20000 && GetTickCount() - start < 20000)
        Sleep(1);
    bool moved = false;
    while (!(moved = MoveFileExW(kLogFolder, kGone, 0)) && GetTickCount() - start < 20000)
        Sleep(1);
    writers.Finish();
    ASSERT_TRUE(moved) << GetLastError();

    // A writer whose file was open as the folder went still finishes its line there; the next finds no folder.
    EXPECT_FALSE(PathIsFolder(kLogFolder)) << "a writer made the folder again";
    std::vector<LogLine> others;
    const std::map<std::wstring, int> written = LinesPerWriter(ReadLog(std::wstring(kGone) + L"\\em9.Log"), &others);
    EXPECT_TRUE(others.empty());
    EXPECT_FALSE(written.empty());
}

TEST(LogFaults, ProgramsAndWritersAtOnceKeepEveryLineWhileAReaderFollowsTheFile)
{
    CleanMachine machine;  // "/POP" finds no toast program, and logs that once
    LogFolder folder;
    Writers writers(500);
    size_t runs = 0;
    size_t shrank = 0;
    std::string seen;
    do
    {
        std::vector<Child> programs;
        for (int i = 0; i < 4; ++i, ++runs)
            programs.emplace_back(InstelixPath(), L"\"" + InstelixPath() + L"\" /POP");
        for (Child& program : programs)
        {
            while (program.Running())
            {
                // A viewer following the file: what it has seen must stay as it was.
                const std::string bytes = ReadBytes(kLogFile);
                shrank += bytes.compare(0, seen.size(), seen) != 0 ? 1 : 0;
                seen = bytes;
            }
            DWORD exitCode = 0xDEAD;
            EXPECT_TRUE(program.Wait(0, &exitCode));
            EXPECT_EQ(exitCode, 0u);
        }
    } while (writers.Running());
    writers.Finish();

    EXPECT_EQ(shrank, 0u) << "text already written changed";
    std::vector<LogLine> others;
    const std::map<std::wstring, int> written = LinesPerWriter(ReadLog(), &others);
    EXPECT_EQ(written, (std::map<std::wstring, int>{{L"A", 500}, {L"B", 500}, {L"C", 500}, {L"D", 500}}));
    ASSERT_EQ(others.size(), runs);
    for (const LogLine& line : others)
    {
        EXPECT_EQ(line.sequence, 0);
        // Wine gives 2 where Windows gives 3 for a program whose folder is missing.
        EXPECT_TRUE(line.message == L"g_UnloadWordDropCtl  CreateProcess failed 2" ||
                    line.message == L"g_UnloadWordDropCtl  CreateProcess failed 3")
            << std::string(line.message.begin(), line.message.end());
    }
}
