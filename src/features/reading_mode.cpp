#include "features/reading_mode.h"

#include "features/shell_wait.h"
#include "support/compat.h"
#include "support/files.h"
#include "support/process.h"
#include "support/registry.h"

namespace
{
const wchar_t kSettingsKey[] = L"Software\\Tesmar\\Tesmar Settings";
const wchar_t kStatusValue[] = L"StartStatus1";
const wchar_t kSupportValue[] = L"IsSupport1";

using SetStatusFunction = int(__cdecl*)(int status);
using QueryFunction = int(__cdecl*)();

// Deliberately not owned: the module stays loaded until the process ends, and a second chore on the same command
// line loads it again (the system counts the loads).
HMODULE LoadReadingModeLibrary()
{
    return LoadLibraryFromPath(ReadingModeLibraryPath(Is64BitWindows()));
}

// The chore's one entry point, or null when the library or the export is missing.
template <class Function>
Function LoadReadingModeExport(const char* name)
{
    const HMODULE library = LoadReadingModeLibrary();
    return library != nullptr ? ProcAddress<Function>(library, name) : nullptr;
}

bool SwitchReadingMode(int status, bool mirror)
{
    const auto setStatus = LoadReadingModeExport<SetStatusFunction>("SetFolioViewStatus");
    if (setStatus == nullptr)
        return false;
    setStatus(status);
    if (mirror)
        WriteRegDword(static_cast<DWORD>(status), kSettingsKey, kStatusValue);
    return true;
}
}  // namespace

const wchar_t* ReadingModeLibraryPath(bool is64BitWindows)
{
    return is64BitWindows ? L"C:\\Program Files (x86)\\Tesmar\\FolioScreen\\FolioViewAPI.dll"
                          : L"C:\\Program Files\\Tesmar\\FolioScreen\\FolioViewAPI.dll";
}

bool StatusMirrorNeedsWrite(DWORD current, const DWORD* stored)
{
    return current != (stored != nullptr ? *stored : 1);
}

bool RunReadingModeOn()
{
    return SwitchReadingMode(1, true);
}

bool RunReadingModeGet()
{
    const auto getStatus = LoadReadingModeExport<QueryFunction>("GetFolioViewStatus");
    if (getStatus == nullptr)
        return false;
    const DWORD current = static_cast<DWORD>(getStatus());
    DWORD stored = 0;
    const bool haveStored = ReadRegDword(&stored, kSettingsKey, kStatusValue);
    if (StatusMirrorNeedsWrite(current, haveStored ? &stored : nullptr))
        WriteRegDword(current, kSettingsKey, kStatusValue);
    return true;
}

bool RunReadingModeWait()
{
    // The library needs the user's desktop before it can switch anything.
    WaitForDesktopShell(FindExplorerProcess, Sleep);
    return SwitchReadingMode(1, true);
}

bool RunReadingModeOff()
{
    return SwitchReadingMode(0, false);
}

bool RunReadingModeIsSupport()
{
    const auto isSupported = LoadReadingModeExport<QueryFunction>("IsSupportFolioView");
    if (isSupported == nullptr)
        return false;
    WriteRegDword(static_cast<DWORD>(isSupported()), kSettingsKey, kSupportValue);
    return true;
}
