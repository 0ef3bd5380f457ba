// Prepares and observes the sandbox machine of scripts/try.sh:
//   sandbox install              resets the machine to one with the suite installed (stand-ins at their paths)
//   sandbox snapshot FILE        writes a picture of what Instelix may touch
//   sandbox compare A B FILE     writes the differences between two pictures
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <utility>

#include "machine_state.h"

namespace
{
std::wstring Folder()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

bool Install()
{
    machine::Reset();
    const std::string settings = machine::ProgramFiles() + "\\Tesmar\\Tesmar Settings\\";
    const std::string tuner = "C:\\Program Files\\Tesmar\\Orvane Tuner\\bin\\";
    const std::pair<std::string, std::string> entries[] = {
        {settings + "PopToastProcess.exe", "standin"},
        {settings + "TesmarQMX.dll", "library standin.dll"},
        {machine::ProgramFiles() + "\\Tesmar\\FolioScreen\\FolioViewAPI.dll", "library standin.dll"},
        // The hotspot service, registered with an older executable than the one the suite brings.
        {settings + "TesmarWiFiHotspotSvr.exe", "version 2.0.0.0"},
        {"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe", "version 1.0.0.0"},
        {"HKLM\\SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr: ImagePath",
         "REG_EXPAND_SZ C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe"},
        // The ACPI driver, installed from an INF that Windows renamed and older than its package.
        {tuner + "DPInst.exe", "standin"},
        {tuner + "wdreg.exe", "standin"},
        {tuner + "AcpiQrx.inf", "text: [Version]\r\nSignature=\"$WINDOWS NT$\"\r\n"},
        {tuner + "AcpiQrx.sys", "version 2.0.0.0"},
        {"C:\\Windows\\System32\\drivers\\AcpiQrx.sys", "version 1.0.0.0"},
        {"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004\\0: Service", "REG_SZ AcpiQrx"},
        {"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004\\0: DeviceDesc",
         "REG_SZ @oem12.inf,%AcpiQrx.DeviceDesc%;ACPI control"},
        // The virtual HID package beside the program, newer than the installed driver.
        {"C:\\Suite\\devcon.exe", "standin"},
        {"C:\\Suite\\x64\\WUDFVhidmini.Inf", "text: [Version]\r\nClass=HIDClass\r\n"},
        {"C:\\Suite\\x86\\WUDFVhidmini.Inf", "text: [Version]\r\nClass=HIDClass\r\n"},
        {"C:\\Suite\\x64\\TesmarVhid.dll", "version 2.0.0.0"},
        {"C:\\Suite\\x86\\TesmarVhid.dll", "version 2.0.0.0"},
        {"C:\\Windows\\System32\\drivers\\UMDF\\TesmarVhid.dll", "version 1.0.0.0"},
        // The settings application is installed (where a 32-bit installer writes) and rotation is on.
        {"HKLM\\SOFTWARE\\Tesmar\\Tesmar Settings" + std::string(machine::IsWin64() ? " [32-bit view]" : "") +
             ": Version",
         "REG_SZ 1.0"},
        {"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation" +
             std::string(machine::IsWin64() ? " [64-bit view]" : "") + ": Enable",
         "REG_DWORD 1"},
        {"D:\\DeviceControl", "folder"},
    };
    bool all = true;
    for (const auto& entry : entries)
        all = machine::Apply(entry.first, entry.second, Folder()) && all;
    return all;
}

std::wstring Argument(int index)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring value = arguments != nullptr && index < count ? arguments[index] : L"";
    LocalFree(arguments);
    return value;
}
}  // namespace

int main()
{
    const std::wstring command = Argument(1);
    if (command == L"install")
        return Install() ? 0 : 1;
    if (command == L"snapshot")
        return machine::WriteBytes(Argument(2), machine::SnapshotToText(machine::TakeSnapshot())) ? 0 : 1;
    if (command == L"compare")
    {
        std::string text;
        for (const std::string& line :
             machine::CompareSnapshots(machine::SnapshotFromText(machine::ReadBytes(Argument(2))),
                                       machine::SnapshotFromText(machine::ReadBytes(Argument(3)))))
            text += line + "\n";
        return machine::WriteBytes(Argument(4), text) ? 0 : 1;
    }
    return 2;
}
