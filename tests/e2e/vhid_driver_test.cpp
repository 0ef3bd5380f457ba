// "/FLYDRIVER" end to end: real devices of the class are counted, and devcon beside the program is run.
#include <gtest/gtest.h>

#include "fixtures/vhid_devices.h"
#include "harness/support.h"

using namespace harness;

namespace
{
using Lines = std::vector<std::wstring>;

const std::wstring kInstalledDll = L"C:\\Windows\\System32\\drivers\\UMDF\\TesmarVhid.dll";

// A suite folder in this machine's temp folder with the program (under a chosen name) and devcon, as the installer
// lays them out.
class VhidDriver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CopyFileW(FixturePath(L"devcon.exe").c_str(), (suite_ / L"devcon.exe").c_str(), FALSE));
        UseProgramName(L"Instelix.exe");
    }

    void UseProgramName(const std::wstring& name)
    {
        RemoveFile(program_);
        program_ = suite_ / name;
        ASSERT_TRUE(CopyFileW(InstelixPath().c_str(), program_.c_str(), FALSE));
    }

    // The devices, the installed dll and the package's dll, in this machine's package folder or the other one's.
    void Arrange(int devices, Version4 installed, Version4 packaged, bool otherArch = false)
    {
        RemoveVhidDevices();
        RemoveFile(journal_.Path());
        RemoveFile(kLogFile);
        for (int i = 0; i < devices; ++i)
            ASSERT_TRUE(CreateVhidDevice());
        ASSERT_EQ(CountVhidDevices(), devices);
        PlaceVersioned(kInstalledDll, installed);
        PlaceVersioned(suite_ / (Arch(false) + L"\\TesmarVhid.dll"), otherArch ? kNoFile : packaged);
        PlaceVersioned(suite_ / (Arch(true) + L"\\TesmarVhid.dll"), otherArch ? packaged : kNoFile);
    }

    RunResult Run() { return harness::Run(program_, L"\"" + program_ + L"\" /FLYDRIVER"); }
    static std::wstring Arch(bool other) { return IsWin64Machine() != other ? L"x64" : L"x86"; }
    std::wstring Devcon() const { return L"devcon.exe\t\"" + suite_.Path() + L"\\.\\devcon.exe\""; }
    std::wstring Install() const
    {
        return Devcon() + L" install \"" + suite_.Path() + L"\\.\\" + Arch(false) +
               L"\\WUDFVhidmini.Inf\" \"root\\TesmarVhid\"";
    }

    Tidy tidy_{[] {
        RemoveVhidDevices();
        RemoveFile(kInstalledDll);
    }};
    TempFolder suite_{L"instelix-suite"};
    std::wstring program_;
    LogFolder log_;
    Journal journal_;
};

TEST_F(VhidDriver, DeviceCountAndVersionsDecideWhatDevconDoes)
{
    enum Runs
    {
        Nothing,
        InstallOnly,
        RemoveThenInstall
    };
    const struct
    {
        const char* name;
        int devices;
        Version4 installed, packaged;
        bool packagedForOtherArch;
        UINT exitCode;
        Runs runs;
    } cases[] = {
        {"no device", 0, kNoFile, kNoFile, false, 1, InstallOnly},
        {"one device, installed older", 1, V(1, 0, 0, 0), V(1, 0, 0, 1), false, 1, RemoveThenInstall},
        {"one device, installed as new", 1, V(1, 2, 3, 4), V(1, 2, 3, 4), false, 1, Nothing},
        {"one device, installed newer", 1, V(2, 0, 0, 0), V(1, 9, 9, 9), false, 1, Nothing},
        {"one device, no installed dll", 1, kNoFile, V(1, 0, 0, 1), false, 0, Nothing},
        {"one device, no packaged dll", 1, V(1, 0, 0, 0), kNoFile, false, 0, Nothing},
        // The other architecture's package is never looked at.
        {"one device, package only for the other machine", 1, V(1, 0, 0, 0), V(1, 0, 0, 1), true, 0, Nothing},
        {"two devices, versions ignored", 2, V(2, 0, 0, 0), V(1, 0, 0, 0), false, 1, RemoveThenInstall},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Arrange(c.devices, c.installed, c.packaged, c.packagedForOtherArch);
        EXPECT_EQ(Run().exitCode, c.exitCode);
        const Lines expected = c.runs == Nothing       ? Lines()
                               : c.runs == InstallOnly ? Lines{Install()}
                                                       : Lines{Devcon() + L" remove root\\TesmarVhid", Install()};
        EXPECT_EQ(journal_.Lines(), expected);
        if (c.devices > 0)
        {
            EXPECT_EQ(Occurrences(LogText(), L"<<<=Ts error=>>>:  CDevInfo EnumDeviceInfo return  259 \r\n"), 1u);
        }
    }
}

TEST_F(VhidDriver, RepeatedRunsSeeTheDeviceThatDevconInstalled)
{
    Arrange(0, V(1, 0, 0, 0), V(1, 0, 0, 0));
    EXPECT_EQ(Run().exitCode, 1u);
    EXPECT_EQ(Run().exitCode, 1u);
    EXPECT_EQ(journal_.Lines(), Lines{Install()});
    EXPECT_EQ(CountVhidDevices(), 1);
}

TEST_F(VhidDriver, DevconThatCannotBeStartedFailsWithoutFurtherRuns)
{
    RemoveFile(suite_ / L"devcon.exe");
    for (int devices : {0, 2})
    {
        SCOPED_TRACE(devices);
        Arrange(devices, kNoFile, kNoFile);
        EXPECT_EQ(Run().exitCode, 0u);
        // After a remove that could not start, no install is tried.
        EXPECT_EQ(Occurrences(LogText(), L"CreateProcess failed"), 1u) << LogText();
    }
}

TEST_F(VhidDriver, RenamedProgramStillFindsDevconBesideIt)
{
    for (const wchar_t* name : {L"instelix.exe", L"DeviceSetup.exe"})
    {
        SCOPED_TRACE(name);
        Arrange(0, kNoFile, kNoFile);
        UseProgramName(name);
        EXPECT_EQ(Run().exitCode, 1u);
        EXPECT_EQ(journal_.Lines(), Lines{Install()});
    }
}
}  // namespace
