#include "drivers/acpi_driver.h"

#include <wchar.h>

#include "support/files.h"
#include "support/log.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/text.h"

namespace
{
// The package folder is the same on both machines: it does not follow the install-root choice.
const wchar_t kDpinst[] = L"C:\\Program Files\\Tesmar\\Orvane Tuner\\bin\\DPInst.exe";
const wchar_t kWdreg[] = L"C:\\Program Files\\Tesmar\\Orvane Tuner\\bin\\wdreg.exe";
const wchar_t kPackageInf[] = L"C:\\Program Files\\Tesmar\\Orvane Tuner\\bin\\AcpiQrx.inf";
const wchar_t kPackagedDriver[] = L"C:\\Program Files\\Tesmar\\Orvane Tuner\\bin\\AcpiQrx.sys";
// A 32-bit process: on 64-bit Windows this reaches the 32-bit system folder, which is where the check has
// always looked.
const wchar_t kInstalledDriver[] = L"C:\\Windows\\System32\\drivers\\AcpiQrx.sys";
const wchar_t kDriverUnderWindows[] = L"\\System32\\drivers\\AcpiQrx.sys";
const wchar_t kDeviceKey[] = L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004\\0";
const wchar_t kInfFolder[] = L"C:\\windows\\INF\\";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Tesmar\\Tesmar Settings";
const wchar_t kUtilityKey[] = L"SOFTWARE\\Tesmar\\TesmarUtility";

bool RunTool(const wchar_t* program, const wchar_t* arguments)
{
    DWORD exitCode = 0;
    return RunAndWait(program, arguments, &exitCode);
}

// `action` is "install" or "uninstall"; both name the package INF.
bool RunWdreg(const wchar_t* action)
{
    wchar_t arguments[kCommandLineChars];
    if (!FormatText(arguments, kCommandLineChars, L" -inf \"%ls\" -silent %ls", kPackageInf, action))
        return false;
    return RunTool(kWdreg, arguments);
}

bool RunDpinstUninstall(const wchar_t* infPath)
{
    wchar_t arguments[kCommandLineChars];
    if (!FormatText(arguments, kCommandLineChars, L" /u \"%ls\" /d /SW", infPath))
        return false;
    return RunTool(kDpinst, arguments);
}

bool RunDpinstInstall()
{
    return RunTool(kDpinst, L" /SW");
}
}  // namespace

bool InfPathFromDeviceDesc(const wchar_t* deviceDesc, wchar_t* path, size_t capacity)
{
    path[0] = 0;
    const wchar_t* extension = wcsstr(deviceDesc, L".inf");
    if (extension == nullptr)
        return false;
    // The indirect-string form "@file.inf,..." carries a marker that is not part of the file name; any other
    // text keeps its first character.
    const wchar_t* name = deviceDesc[0] == L'@' ? deviceDesc + 1 : deviceDesc;
    if (name >= extension)
        return false;
    const size_t nameChars = static_cast<size_t>(extension - name);
    if (!CopyText(path, capacity, kInfFolder))
        return false;
    const size_t folderChars = wcslen(path);
    if (folderChars + nameChars + 4 >= capacity)
    {
        path[0] = 0;
        return false;
    }
    wmemcpy(path + folderChars, name, nameChars);
    CopyText(path + folderChars + nameChars, capacity - folderChars - nameChars, L".inf");
    return true;
}

bool GetInstalledAcpiInfPath(wchar_t* path)
{
    wchar_t deviceDesc[kPathChars];
    path[0] = 0;
    if (!ReadRegString(kDeviceKey, L"DeviceDesc", deviceDesc))
        return false;
    return InfPathFromDeviceDesc(deviceDesc, path, kPathChars);
}

bool InstallAcpiDriver(bool uninstallFirst)
{
    if (!Is64BitWindows())
    {
        if (uninstallFirst && !RunWdreg(L"uninstall"))
            return false;
        return RunWdreg(L"install");
    }
    wchar_t infPath[kPathChars];
    // Without a known installed INF there is nothing DPInst could safely remove; the install still runs.
    if (uninstallFirst && GetInstalledAcpiInfPath(infPath) && !RunDpinstUninstall(infPath))
        return false;
    return RunDpinstInstall();
}

bool UninstallAcpiDriver()
{
    if (!Is64BitWindows())
        return RunWdreg(L"uninstall");
    wchar_t infPath[kPathChars];
    if (!GetInstalledAcpiInfPath(infPath))
        return true;
    return RunDpinstUninstall(infPath);
}

UINT RunUpdateDriverChore()
{
    wchar_t service[kPathChars];
    // A device without a driver service has nothing installed to compare with or to remove.
    if (!ReadRegString(kDeviceKey, L"Service", service))
        return InstallAcpiDriver(false) ? 1 : 0;
    FileVersion installed = {};
    FileVersion packaged = {};
    if (!GetFileVersion(kInstalledDriver, &installed) || !GetFileVersion(kPackagedDriver, &packaged))
    {
        const DWORD error = GetLastError();
        // Log readers match these words, the service name and the doubled blank included.
        LogError(L" InstallSvr GetFileVersion  TesmarWiFiHotspotSvr failed:%d", error);
        return 0;
    }
    if (!IsVersionOlder(installed, packaged))
        return 0;
    return InstallAcpiDriver(true) ? 1 : 0;
}

UINT RunDeleteDriverChore()
{
    // Either product still needs the driver.
    if (RegKeyExists(kSettingsKey) || RegKeyExists(kUtilityKey))
        return 0;
    UninstallAcpiDriver();
    // Give the uninstaller's file operations a moment to settle before the file goes.
    Sleep(200);
    wchar_t driver[kPathChars];
    const UINT chars = GetWindowsDirectoryW(driver, kPathChars);
    if (chars == 0 || chars >= kPathChars || !AppendText(driver, kPathChars, kDriverUnderWindows))
        return 0;
    DeleteFileW(driver);
    return 0;
}
