#include <gtest/gtest.h>

#include "harness/support.h"
#include "support/log.h"
#include "support/text.h"

using namespace harness;

TEST(LogLine, LaysOutStampSequenceAndEntryUnpadded)
{
    const struct
    {
        SYSTEMTIME utc;
        int sequence;
        const wchar_t* entry;
        const wchar_t* line;
    } cases[] = {
        {{2026, 3, 3, 4, 5, 6, 7, 890}, 0, L"<<<=Ts error=>>>:  InstallSvr MyMoveFile failed:5\r\n",
         L"[2026-3-4 5:6:7 0] <<<=Ts error=>>>:  InstallSvr MyMoveFile failed:5\r\n "},
        {{2027, 12, 5, 31, 23, 59, 59, 0}, -2147483647 - 1, L"<<<=Ts Debug =>>>: x\r\n",
         L"[2027-12-31 23:59:59 -2147483648] <<<=Ts Debug =>>>: x\r\n "},
    };
    for (const auto& c : cases)
    {
        wchar_t line[780];
        FormatLogLine(line, ARRAYSIZE(line), c.utc, c.sequence, c.entry);
        EXPECT_STREQ(line, c.line);
    }
}

TEST(Text, FormatsWideStringsAndCutsToTheBuffer)
{
    wchar_t buffer[16];
    EXPECT_TRUE(FormatText(buffer, ARRAYSIZE(buffer), L"%s-%ls:%d", L"Größe", L"ab", -5));
    EXPECT_STREQ(buffer, L"Größe-ab:-5");

    wmemset(buffer, L'#', ARRAYSIZE(buffer));
    EXPECT_FALSE(FormatText(buffer, 8, L"%s", L"Größe und mehr"));
    EXPECT_STREQ(buffer, L"Größe u");
    EXPECT_EQ(std::wstring(buffer + 8, 8), L"########") << "written past the capacity";

    wmemset(buffer, L'#', ARRAYSIZE(buffer));
    EXPECT_FALSE(CopyText(buffer, 4, L"abcdef"));
    EXPECT_STREQ(buffer, L"abc");
    EXPECT_FALSE(AppendText(buffer, 5, L"de"));
    EXPECT_STREQ(buffer, L"abcd");
    EXPECT_EQ(buffer[5], L'#');
}

// The log keeps its gate and numbering for one process, so every case runs in a fresh support probe.
TEST(LogFile, AppendsStampedLinesWithOneCounterPerRunWhileAReaderHoldsTheFile)
{
    LogFolder folder;
    const std::string earlier("k\0e\0e\0p\0\r\0\n\0", 12);
    WriteBytes(kLogFile, earlier);
    // As a log viewer opens it: reading, while letting others read and write.
    HANDLE reader = CreateFileW(kLogFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const long long before = UtcSecondsNow();
    EXPECT_EQ(RunProbe(L"error:Größe debug:two \"error:with blank\" long:510 long:511 long:2000").exitCode, 0u);
    EXPECT_EQ(RunProbe(L"debug:second error:third").exitCode, 0u);
    const long long after = UtcSecondsNow();
    CloseHandle(reader);

    const std::string bytes = ReadBytes(kLogFile);
    ASSERT_EQ(bytes.substr(0, earlier.size()), earlier);
    std::vector<LogLine> lines;
    ASSERT_TRUE(ParseLog(Utf16FromBytes(bytes.substr(earlier.size())), &lines));
    ASSERT_EQ(lines.size(), 8u);
    const wchar_t* kinds[] = {L"error", L"Debug ", L"error", L"error", L"error", L"error", L"Debug ", L"error"};
    const std::wstring messages[] = {L" Größe step:1", L" two step:2", L" with blank step:3", std::wstring(510, L'x'),
                                     std::wstring(511, L'x'), std::wstring(511, L'x'), L" second step:1",
                                     L" third step:2"};
    for (int i = 0; i < 8; ++i)
    {
        EXPECT_EQ(lines[i].sequence, i < 6 ? i : i - 6) << "line " << i;
        EXPECT_EQ(lines[i].kind, kinds[i]) << "line " << i;
        EXPECT_EQ(lines[i].message, messages[i]) << "line " << i;
        EXPECT_GE(UtcSeconds(lines[i].stamp), before);
        EXPECT_LE(UtcSeconds(lines[i].stamp), after);
    }
}

TEST(LogFile, GateStaysOffOnceTheFolderIsMissing)
{
    const struct
    {
        const char* name;
        const char* start;  // what "D:\DeviceControl" is at first: nothing, a "file" or a "folder"
        const wchar_t* steps;
        bool removedWhileRunning;  // then the folder the probe moved aside holds the first line
    } cases[] = {
        {"absent, then created", "", L"error:a folder error:b debug:c", false},
        {"plain file, then a folder", "file", L"error:a folder error:b", false},
        {"removed while running", "folder", L"error:a nofolder error:b folder error:c", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        RemoveLogFolders();
        if (c.start == std::string("file"))
            WriteBytes(kLogFolder, "plain");
        else if (c.start == std::string("folder"))
            MakeDirs(kLogFolder);
        EXPECT_EQ(RunProbe(c.steps).exitCode, 0u);
        EXPECT_TRUE(PathIsFolder(kLogFolder)) << "the probe recreates the folder";
        EXPECT_FALSE(FileExists(kLogFile)) << "logged after the gate closed";
        const std::vector<LogLine> lines = ReadLog(L"D:\\DeviceControl.gone\\em9.Log");
        ASSERT_EQ(lines.size(), c.removedWhileRunning ? 1u : 0u);
        EXPECT_TRUE(lines.empty() || lines[0].message == L" a step:1");
    }
    RemoveLogFolders();
}
