#include "support/log.h"

#include <shlwapi.h>

#include "support/text.h"
#include "support/unique.h"

namespace
{
const wchar_t kLogFolder[] = L"D:\\DeviceControl";
const wchar_t kLogFile[] = L"D:\\DeviceControl\\em9.Log";

constexpr size_t kMessageChars = 512;
constexpr size_t kEntryChars = 576;
constexpr size_t kLineChars = 780;
constexpr size_t kStampChars = 100;
// Offset 2^62: far past the end of any log, within what every file system accepts for a lock.
constexpr DWORD kLockOffsetHigh = 0x40000000;
// Another instance holds the lock for one write; anything holding it longer is not one of us.
constexpr DWORD kLockWaitMs = 500;

bool g_logGate = true;
int g_sequence = 0;

struct EntryKind
{
    const wchar_t* format;
    wchar_t message[kMessageChars];
    wchar_t entry[kEntryChars];
};

EntryKind g_error = {L"<<<=Ts error=>>>: %s\r\n", {}, {}};
EntryKind g_debug = {L"<<<=Ts Debug =>>>: %s\r\n", {}, {}};
wchar_t g_line[kLineChars];

// A reader that locks the whole file (some viewers and backup tools do) also holds our byte, for as long as it
// likes: the wait is bounded so that the chore never stalls behind it, and the line is then written unlocked.
bool LockForOneLine(HANDLE file, OVERLAPPED* byte)
{
    const DWORD start = GetTickCount();
    for (DWORD attempt = 0; !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, byte);
         ++attempt)
    {
        if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount() - start >= kLockWaitMs)
            return false;
        // A writer's hold is over within a time slice; only a longer one is waited out in whole milliseconds.
        Sleep(attempt < 50 ? 0 : 1);
    }
    return true;
}

bool LogFolderPresent()
{
    if (!g_logGate)
        return false;
    // Once the folder is found missing (or a plain file) logging stays off for the rest of the process.
    if (!PathIsDirectoryW(kLogFolder))
        g_logGate = false;
    return g_logGate;
}

void LogEntry(EntryKind& kind, const wchar_t* format, va_list args)
{
    if (!LogFolderPresent())
        return;
    FormatTextV(kind.message, kMessageChars, format, args);
    FormatText(kind.entry, kEntryChars, kind.format, kind.message);
    OutputDebugStringW(kind.entry);
    WriteLogLine(kind.entry);
}
}  // namespace

void FormatLogLine(wchar_t* line, size_t capacity, const SYSTEMTIME& utc, int sequence, const wchar_t* entry)
{
    wchar_t stamp[kStampChars];
    FormatText(stamp, kStampChars, L"%d-%d-%d %d:%d:%d", utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute,
               utc.wSecond);
    FormatText(line, capacity, L"[%s %d] %s ", stamp, sequence, entry);
}

void WriteLogLine(const wchar_t* entry)
{
    // Append-only access sends every write to the file's end, and read and write sharing keep a viewer that
    // holds the log open from costing us the line. Read access is there only because a byte-range lock needs it.
    UniqueFile file(CreateFileW(kLogFile, FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    FormatLogLine(g_line, kLineChars, utc, g_sequence++, entry);
    // Wine: an append-only write is not atomic there, so two instances writing at once can overwrite each other's
    // line. Every instance takes the same lock, on a byte far past any log's end so readers are never blocked; if
    // locking fails the line is still written.
    OVERLAPPED lockedByte = {};
    lockedByte.OffsetHigh = kLockOffsetHigh;
    const bool locked = LockForOneLine(file.get(), &lockedByte);
    DWORD written = 0;
    WriteFile(file.get(), g_line, static_cast<DWORD>(lstrlenW(g_line) * sizeof(wchar_t)), &written, nullptr);
    if (locked)
        UnlockFileEx(file.get(), 0, 1, 0, &lockedByte);
}

void LogError(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogEntry(g_error, format, args);
    va_end(args);
}

void LogDebug(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogEntry(g_debug, format, args);
    va_end(args);
}
