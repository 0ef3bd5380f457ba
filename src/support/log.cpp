#include "support/log.h"

#include "support/files.h"
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

// A drive without media (a card reader, an empty optical drive) answers a probe of D: with the system's "no disk"
// box unless critical errors are set to fail the call; a hidden, elevated run would wait on that box for ever, and the
// installer with it. Only this thread's mode changes, and only while our own probe runs: the process mode is what
// the tools we start inherit, and they keep the one they always had.
class CriticalErrorsFailed
{
public:
    CriticalErrorsFailed() { set_ = SetThreadErrorMode(GetThreadErrorMode() | SEM_FAILCRITICALERRORS, &previous_); }
    ~CriticalErrorsFailed()
    {
        if (set_)
            SetThreadErrorMode(previous_, nullptr);
    }
    CriticalErrorsFailed(const CriticalErrorsFailed&) = delete;
    CriticalErrorsFailed& operator=(const CriticalErrorsFailed&) = delete;

private:
    DWORD previous_ = 0;
    BOOL set_ = FALSE;
};

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
    // Once the folder is found missing, a plain file, or a link (junction or symbolic link) that could send an
    // elevated run's lines anywhere, logging stays off for the rest of the process.
    const DWORD attributes = GetFileAttributesW(kLogFolder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        g_logGate = false;
    return g_logGate;
}

// Opens the log, creating it when missing; a file this call created is opened with the right to delete it again,
// and `created` says so. Append-only access sends every write to the file's end; read access is there for the
// byte-range lock. Sharing keeps a viewer that holds the log open from costing us the line, and another instance's
// open from failing on our right to delete. A link at the log's own name is opened as itself, not followed.
HANDLE OpenLogFile(bool* created)
{
    const DWORD access = FILE_APPEND_DATA | FILE_READ_DATA,
                flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // A second round covers another instance that creates the file between our two attempts.
    for (int round = 0; round < 2; ++round)
    {
        HANDLE file = CreateFileW(kLogFile, access, sharing, nullptr, OPEN_EXISTING, flags, nullptr);
        *created = false;
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND)
            return file;
        file = CreateFileW(kLogFile, access | DELETE, sharing, nullptr, CREATE_NEW, flags, nullptr);
        *created = true;
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

void LogEntry(EntryKind& kind, const wchar_t* format, va_list args)
{
    // Once for every probe of D: that an entry makes.
    const CriticalErrorsFailed quiet;
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
    bool created = false;
    UniqueFile file(OpenLogFile(&created));
    if (!file)
        return;
    // The handle, not the path, is checked, so that a link planted after the folder test cannot redirect the line.
    if (!IsPlainFileAt(file.get(), kLogFile))
    {
        // Not ours to write: a file this open created is removed again, and logging ends as for a missing folder.
        FILE_DISPOSITION_INFO remove = {TRUE};
        if (created)
            SetFileInformationByHandle(file.get(), FileDispositionInfo, &remove, sizeof(remove));
        g_logGate = false;
        return;
    }
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
