#include "service/hotspot_service.h"

#include <windows.h>

#include "support/files.h"
#include "support/log.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/text.h"

namespace
{
const wchar_t kNewExecutable64[] = L"C:\\Program Files (x86)\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe";
const wchar_t kNewExecutable32[] = L"C:\\Program Files\\Tesmar\\Tesmar Settings\\TesmarWiFiHotspotSvr.exe";
// Redirection stays on for this 32-bit process, so on 64-bit Windows this is the 32-bit system folder.
const wchar_t kTarget[] = L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe";
// Lies under SYSTEM\CurrentControlSet, which both registry views share.
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr";
constexpr DWORD kSettleMs = 300;

bool LogFailure(const wchar_t* format)
{
    const DWORD error = GetLastError();
    LogError(format, error);
    return false;
}

// The moved executable still carries the permissions of the installer's folder, which may let users write; the
// service runs it as LocalSystem. A failed reset is logged and the placement stands: undoing a move that has been
// done could leave the service without its executable, which is worse than a file left as the installer made it.
void InheritTargetPermissions()
{
    if (!InheritFolderPermissions(kTarget))
        LogFailure(L" InstallSvr SetNamedSecurityInfo TesmarWiFiHotspotSvr failed:%d");
}

bool FirstInstall(const wchar_t* newExecutable)
{
    if (!MyMoveFile(newExecutable, kTarget))
        return LogFailure(L" InstallSvr TesmarWiFiHotspotSvr failed:%d");
    // Before the executable first runs elevated.
    InheritTargetPermissions();
    // The executable registers the service itself; its exit code is its own business.
    DWORD exitCode = 0;
    if (RunAndWait(kTarget, L" install", &exitCode))
        return true;
    return LogFailure(L" InstallSvr TesmarWiFiHotspotSvr failed:%d");
}

void FormatSetAsideName(wchar_t* setAside)
{
    FormatText(setAside, kPathChars, L"%ls.Temp", kTarget);
}

// Puts the set-aside previous executable back so that the service is never left without its file. It never
// replaces anything: whatever lies at the target by now is newer than the set-aside copy.
void RestorePrevious(const wchar_t* setAside)
{
    MoveFileExW(setAside, kTarget, MOVEFILE_WRITE_THROUGH);
}

bool IsAbsent(const wchar_t* path)
{
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A refresh cut short between its two moves (power loss, a task kill) or whose put-back failed left the target
// missing and the previous executable set aside. Every later run would fail its version read for good, so the copy
// goes back first and the refresh then goes on as on any machine.
void RepairInterruptedSwap()
{
    wchar_t setAside[kPathChars];
    FormatSetAsideName(setAside);
    if (IsAbsent(kTarget) && !IsAbsent(setAside))
        RestorePrevious(setAside);
}

bool SwapExecutable(const wchar_t* newExecutable)
{
    wchar_t setAside[kPathChars];
    FormatSetAsideName(setAside);
    // A copy set aside by an earlier refresh is no longer needed.
    DeleteFileW(setAside);
    Sleep(kSettleMs);
    TerminateHotspotSvrProcess();
    // Lets the ended process release its image before the file is renamed.
    Sleep(kSettleMs);
    // A target that cannot be set aside is still replaced by the move below.
    const bool setAsideDone = MyMoveFile(kTarget, setAside);
    if (MyMoveFile(newExecutable, kTarget))
    {
        InheritTargetPermissions();
        return true;
    }
    const DWORD error = GetLastError();
    if (setAsideDone)
        RestorePrevious(setAside);
    LogError(L" InstallSvr MyMoveFile failed:%d", error);
    return false;
}

bool Refresh(const wchar_t* newExecutable)
{
    RepairInterruptedSwap();
    wchar_t imagePath[kPathChars];
    if (!ReadRegString(kServiceKey, L"ImagePath", imagePath))
        return LogFailure(L" InstallSvr ReadRegString TesmarWiFiHotspotSvr failed:%d");
    // ImagePath is taken as a bare path: a quoted or argument-bearing value fails the version read instead of
    // being guessed at. Only its version counts; the file replaced is always the fixed target.
    FileVersion registered = {};
    FileVersion offered = {};
    if (!GetFileVersion(imagePath, &registered) || !GetFileVersion(newExecutable, &offered))
        return LogFailure(L" InstallSvr GetFileVersion TesmarWiFiHotspotSvr failed:%d");
    if (!IsVersionOlder(registered, offered))
        return LogFailure(L" InstallSvr TesmarWiFiHotspotSvr failed:%d");
    return SwapExecutable(newExecutable);
}
}  // namespace

bool InstallHotspotService()
{
    const wchar_t* newExecutable = Is64BitWindows() ? kNewExecutable64 : kNewExecutable32;
    if (!RegKeyExists(kServiceKey))
        return FirstInstall(newExecutable);
    return Refresh(newExecutable);
}
