#include "drivers/vhid_driver.h"

#include <wchar.h>

#include "drivers/dev_info.h"
#include "support/files.h"
#include "support/log.h"
#include "support/process.h"

namespace
{
// Setup class of the virtual HID device.
const GUID kVhidClass = {0x177B1D2A, 0x679C, 0x4093, {0x98, 0xBF, 0xFD, 0x69, 0x99, 0x69, 0x5D, 0x3B}};
// A 32-bit process: on 64-bit Windows this reaches the 32-bit system folder, where the check has always looked.
const wchar_t kInstalledDll[] = L"C:\\Windows\\System32\\drivers\\UMDF\\TesmarVhid.dll";
const wchar_t kRemoveArguments[] = L" remove root\\TesmarVhid";

bool BesideProgram(const wchar_t* programPath, const wchar_t* relative, wchar_t* path)
{
    const wchar_t* lastSlash = wcsrchr(programPath, L'\\');
    if (lastSlash == nullptr)
        return false;
    const size_t folderChars = static_cast<size_t>(lastSlash - programPath) + 1;
    if (folderChars >= kPathChars)
        return false;
    wmemcpy(path, programPath, folderChars);
    path[folderChars] = 0;
    return AppendText(path, kPathChars, relative);
}

bool RunDevcon(const wchar_t* devcon, const wchar_t* arguments)
{
    DWORD exitCode = 0;
    return RunAndWait(devcon, arguments, &exitCode);
}

bool InstallDevice(const VhidPackagePaths& paths)
{
    wchar_t arguments[kCommandLineChars];
    return BuildDevconInstallArguments(paths.inf, arguments, kCommandLineChars) && RunDevcon(paths.devcon, arguments);
}

// The remove gets a moment to finish before the same device is installed again.
bool ReinstallDevice(const VhidPackagePaths& paths)
{
    if (!RunDevcon(paths.devcon, kRemoveArguments))
        return false;
    Sleep(200);
    return InstallDevice(paths);
}

int CountPresentDevices()
{
    CDevInfo devices(&kVhidClass);
    int count = 0;
    while (devices.EnumDeviceInfo())
        ++count;
    return count;
}

// A refresh is due only when both versions can be read and the installed one is older.
bool InstalledDllIsOlder(const wchar_t* packagedDll, bool* older)
{
    FileVersion installed = {};
    FileVersion packaged = {};
    if (!GetFileVersion(kInstalledDll, &installed) || !GetFileVersion(packagedDll, &packaged))
        return false;
    *older = IsVersionOlder(installed, packaged);
    return true;
}
}  // namespace

bool BuildVhidPackagePaths(const wchar_t* programPath, bool win64, VhidPackagePaths* paths)
{
    return BesideProgram(programPath, L".\\devcon.exe", paths->devcon) &&
           BesideProgram(programPath, win64 ? L".\\x64\\WUDFVhidmini.Inf" : L".\\x86\\WUDFVhidmini.Inf", paths->inf) &&
           BesideProgram(programPath, win64 ? L".\\x64\\TesmarVhid.dll" : L".\\x86\\TesmarVhid.dll", paths->dll);
}

bool BuildDevconInstallArguments(const wchar_t* infPath, wchar_t* arguments, size_t capacity)
{
    return FormatText(arguments, capacity, L" install \"%ls\" \"root\\TesmarVhid\"", infPath);
}

UINT RunFlyDriverChore()
{
    const int count = CountPresentDevices();
    wchar_t program[kPathChars];
    const DWORD chars = GetModuleFileNameW(nullptr, program, kPathChars);
    if (chars == 0 || chars >= kPathChars)
    {
        const DWORD error = chars == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        LogError(L" FlyDriver GetModuleFileName failed:%d", error);
        return 0;
    }
    VhidPackagePaths paths;
    // A cut path would start some other program and report its run as the install.
    if (!BuildVhidPackagePaths(program, Is64BitWindows(), &paths))
    {
        LogError(L" FlyDriver package path failed:%d", ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (count == 0)
        return InstallDevice(paths) ? 1 : 0;
    if (count == 1)
    {
        bool older = false;
        if (!InstalledDllIsOlder(paths.dll, &older))
            return 0;
        if (!older)
            return 1;
    }
    return ReinstallDevice(paths) ? 1 : 0;
}
