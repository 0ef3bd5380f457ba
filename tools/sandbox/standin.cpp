// The one stand-in for every outside program of the suite. It journals its name and exact command line, then
// behaves as its name and the environment ask: devcon.exe "install" adds a device of the virtual HID class, "remove"
// removes them all; TesmarWiFiHotspotSvr.exe "... install" registers itself as the service; "--linger" (or
// INSTELIX_STANDIN_LINGER=1) runs until ended; INSTELIX_STANDIN_EXIT is the exit code.
#include "standin.h"

#include <shellapi.h>

#include "vhid_devices.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr || count < 1)
        return 3;
    const wchar_t* first = count > 1 ? argv[1] : L"";
    const wchar_t* last = argv[count - 1];
    const wchar_t* name = OwnName(nullptr);
    Journal(name, GetCommandLineW());
    if (lstrcmpiW(name, L"devcon.exe") == 0 && wcscmp(first, L"install") == 0)
        CreateVhidDevice();
    else if (lstrcmpiW(name, L"devcon.exe") == 0 && wcscmp(first, L"remove") == 0)
        RemoveVhidDevices();
    wchar_t self[MAX_PATH];
    const DWORD chars = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (lstrcmpiW(name, L"TesmarWiFiHotspotSvr.exe") == 0 && wcscmp(last, L"install") == 0)
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr", L"ImagePath",
                        REG_EXPAND_SZ, self, (chars + 1) * sizeof(wchar_t));
    if (wcscmp(last, L"--linger") == 0 || Chosen(L"INSTELIX_STANDIN_LINGER", 0) == 1)
        Linger();
    return static_cast<int>(Chosen(L"INSTELIX_STANDIN_EXIT", 0));
}
