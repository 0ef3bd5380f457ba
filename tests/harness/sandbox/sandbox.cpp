// Prepares and observes the sandbox machine of scripts/try.sh:
//   sandbox install              places the suite's stand-ins as on a machine with the suite installed
//   sandbox snapshot FILE        writes a picture of what Instelix may touch
//   sandbox compare A B FILE     writes the differences between two pictures
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "harness/harness.h"
#include "harness/snapshot.h"

using harness::View;

namespace
{
const WORD kOld[4] = {1, 0, 0, 0};
const WORD kNew[4] = {2, 0, 0, 0};

// Places a stand-in (they lie beside this program) at `target`, with this file version when one is given.
void Place(const std::wstring& fixture, const std::wstring& target, const WORD* version = nullptr)
{
    harness::MakeDirs(target.substr(0, target.find_last_of(L'\\')));
    if (version != nullptr)
        harness::CopyWithVersion(harness::BuildDir() + fixture, target, version, version);
    else
        CopyFileW((harness::BuildDir() + fixture).c_str(), target.c_str(), FALSE);
}

void Install()
{
    const std::wstring programFiles = harness::IsWin64Machine() ? L"C:\\Program Files (x86)" : L"C:\\Program Files";
    const std::wstring settings = programFiles + L"\\Tesmar\\Tesmar Settings\\";
    Place(L"recorder.exe", settings + L"PopToastProcess.exe");
    Place(L"TesmarQMX.dll", settings + L"TesmarQMX.dll");
    Place(L"FolioViewAPI.dll", programFiles + L"\\Tesmar\\FolioScreen\\FolioViewAPI.dll");

    // The hotspot service: registered with an older executable than the one the suite brings.
    Place(L"hotspotsvr.exe", settings + L"TesmarWiFiHotspotSvr.exe", kNew);
    Place(L"hotspotsvr.exe", L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe", kOld);
    harness::SetString(View::Default, L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr", L"ImagePath",
                       L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe");

    // The ACPI driver: installed from an INF that Windows renamed, older than the package.
    const std::wstring tuner = L"C:\\Program Files\\Tesmar\\Orvane Tuner\\bin\\";
    Place(L"recorder.exe", tuner + L"DPInst.exe");
    Place(L"recorder.exe", tuner + L"wdreg.exe");
    harness::WriteBytes(tuner + L"AcpiQrx.inf", "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n");
    Place(L"recorder.exe", tuner + L"AcpiQrx.sys", kNew);
    Place(L"recorder.exe", L"C:\\Windows\\System32\\drivers\\AcpiQrx.sys", kOld);
    const std::wstring device = L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004\\0";
    harness::SetString(View::Default, device, L"Service", L"AcpiQrx");
    harness::SetString(View::Default, device, L"DeviceDesc", L"@oem12.inf,%AcpiQrx.DeviceDesc%;ACPI control");

    // The virtual HID package beside the program, newer than the installed driver.
    Place(L"devcon.exe", L"C:\\Suite\\devcon.exe");
    for (const wchar_t* arch : {L"x64", L"x86"})
    {
        const std::wstring folder = std::wstring(L"C:\\Suite\\") + arch + L"\\";
        harness::MakeDirs(folder);
        harness::WriteBytes(folder + L"WUDFVhidmini.Inf", "[Version]\r\nClass=HIDClass\r\n");
        Place(L"recorder.exe", folder + L"TesmarVhid.dll", kNew);
    }
    Place(L"recorder.exe", L"C:\\Windows\\System32\\drivers\\UMDF\\TesmarVhid.dll", kOld);

    // The settings application is installed (in the view a 32-bit installer writes to) and rotation is on.
    harness::SetString(View::Default, L"SOFTWARE\\Tesmar\\Tesmar Settings", L"Version", L"1.0");
    harness::SetDword(View::Bits64, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation", L"Enable", 1);
    harness::MakeDirs(L"D:\\DeviceControl");
}

std::wstring Argument(int index)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring value = index < count ? arguments[index] : L"";
    LocalFree(arguments);
    return value;
}
}  // namespace

int main()
{
    const std::wstring command = Argument(1);
    if (command == L"install")
    {
        Install();
        return 0;
    }
    if (command == L"snapshot")
    {
        harness::WriteBytes(Argument(2), harness::SnapshotToText(harness::TakeSnapshot()));
        return 0;
    }
    if (command == L"compare")
    {
        std::string text;
        for (const std::string& line : harness::CompareSnapshots(harness::SnapshotFromText(harness::ReadBytes(Argument(2))),
                                                                 harness::SnapshotFromText(harness::ReadBytes(Argument(3)))))
            text += line + "\n";
        harness::WriteBytes(Argument(4), text);
        return 0;
    }
    return 2;
}
