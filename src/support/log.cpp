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
    // Append-only access makes every write land at the end of the file even while other instances write too,
    // and read sharing keeps a viewer that holds the log open from costing us the line.
    UniqueFile file(CreateFileW(kLogFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    FormatLogLine(g_line, kLineChars, utc, g_sequence++, entry);
    DWORD written = 0;
    WriteFile(file.get(), g_line, static_cast<DWORD>(lstrlenW(g_line) * sizeof(wchar_t)), &written, nullptr);
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
