#pragma once
// The platform's ACPI control driver: install, refresh or remove it through the package's installer tool
// (DPInst.exe on 64-bit Windows, wdreg.exe on 32-bit Windows). A tool run counts as done when the tool could be
// started; its exit code is not examined.

#include <windows.h>

#include <stddef.h>

// Forms the path of the installed INF from a device's "DeviceDesc" text ("@oem12.inf,%desc%;Name" gives
// "C:\windows\INF\oem12.inf"). False when the text names no INF (no ".inf" in it, or nothing before it) or the
// path does not fit; `path` is then empty.
bool InfPathFromDeviceDesc(const wchar_t* deviceDesc, wchar_t* path, size_t capacity);

// The installed INF of the ACPI device (kPathChars units). False when the device's "DeviceDesc" cannot be read
// or names no INF.
bool GetInstalledAcpiInfPath(wchar_t* path);

// Installs the package, removing the installed one first when `uninstallFirst` is set. True when every tool run
// could be started; after an uninstall that could not be started no install is tried.
bool InstallAcpiDriver(bool uninstallFirst);

// Removes the installed package. True when the tool could be started, or when on 64-bit Windows no installed INF
// is known and nothing was run.
bool UninstallAcpiDriver();

// "/UPDATEDRIVER": installs when the device has no driver service, re-installs when the installed driver file is
// older than the packaged one. 1 when the tools that ran could all be started, else 0.
UINT RunUpdateDriverChore();

// "/DELETEDRIVERBYSETTINGS": unless a product key remains, uninstalls the package and deletes the driver file.
// Always 0.
UINT RunDeleteDriverChore();
