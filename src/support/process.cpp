#include "support/process.h"

#include <tlhelp32.h>
#include <psapi.h>
#include <wchar.h>

#include "support/log.h"
#include "support/text.h"
#include "support/unique.h"

bool BuildCommandLine(wchar_t* commandLine, size_t capacity, const wchar_t* program, const wchar_t* arguments)
{
    commandLine[0] = 0;
    return CopyText(commandLine, capacity, L"\"") && AppendText(commandLine, capacity, program) &&
           AppendText(commandLine, capacity, L"\"") &&
           (arguments == nullptr || AppendText(commandLine, capacity, arguments));
}

namespace
{
bool FailedStart(DWORD error)
{
    LogDebug(L"g_UnloadWordDropCtl  CreateProcess failed %d", error);
    // Callers log the failure again with the last-error code, which the log routines have overwritten.
    SetLastError(error);
    return false;
}
}  // namespace

bool RunAndWait(const wchar_t* program, const wchar_t* arguments, DWORD* exitCode)
{
    // CreateProcessW may write into the command line, so it lives in a private buffer.
    wchar_t commandLine[kCommandLineChars];
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!BuildCommandLine(commandLine, kCommandLineChars, program, arguments))
        return FailedStart(ERROR_INSUFFICIENT_BUFFER);
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return FailedStart(GetLastError());
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    GetExitCodeProcess(process.get(), exitCode);
    return true;
}

namespace
{
// Calls `match` for each entry of a fresh process snapshot until it returns true; gives that entry's id or 0.
template <class Match>
DWORD FindInSnapshot(Match match)
{
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
    {
        if (match(entry))
            return entry.th32ProcessID;
        entry.dwSize = sizeof(entry);
    }
    return 0;
}
}  // namespace

DWORD FindExplorerProcess()
{
    // wcscmp, not lstrcmpW: the linguistic compare is not an exact match of the letters.
    return FindInSnapshot([](const PROCESSENTRY32W& entry) { return wcscmp(entry.szExeFile, L"explorer.exe") == 0; });
}

bool TerminateSettingsProcess()
{
    DWORD ids[1024];
    DWORD bytes = 0;
    if (!K32EnumProcesses(ids, sizeof(ids), &bytes))
        return false;
    const DWORD count = bytes / sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i)
    {
        UniqueHandle process(
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE, FALSE, ids[i]));
        if (!process)
            continue;
        wchar_t name[kPathChars] = {};
        HMODULE module = nullptr;
        DWORD needed = 0;
        if (K32EnumProcessModules(process.get(), &module, sizeof(module), &needed))
            K32GetModuleBaseNameW(process.get(), module, name, kPathChars);
        if (lstrcmpiW(L"Settings.exe", name) == 0)
        {
            TerminateProcess(process.get(), 0);
            return true;
        }
    }
    return false;
}

bool TerminateHotspotSvrProcess()
{
    for (int pass = 0; pass < 3; ++pass)
    {
        const DWORD ended = FindInSnapshot([](const PROCESSENTRY32W& entry) {
            if (!EqualsIgnoringAsciiCase(entry.szExeFile, L"TesmarWiFiHotspotSvr.exe"))
                return false;
            UniqueHandle process(OpenProcess(PROCESS_TERMINATE | PROCESS_CREATE_THREAD | PROCESS_VM_OPERATION |
                                                 PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                                             FALSE, entry.th32ProcessID));
            return process && TerminateProcess(process.get(), 0) != FALSE;
        });
        if (ended != 0)
            return true;
        Sleep(220);
    }
    return false;
}
