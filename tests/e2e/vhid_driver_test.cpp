// "/FLYDRIVER" end to end: real devices of the class are counted, and devcon beside the program is run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures/vhid_devices.h"
#include "harness/harness.h"

namespace
{
using Lines = std::vector<std::wstring>;

const std::wstring kInstalledDll = L"C:\\Windows\\System32\\drivers\\UMDF\\TesmarVhid.dll";
const std::wstring kLogDir = L"D:\\DeviceControl";

struct Dll
{
    bool present;
    WORD version[4];
};
constexpr Dll kNoDll = {false, {}};
constexpr Dll V(WORD a, WORD b, WORD c, WORD d)
{
    return {true, {a, b, c, d}};
}

// A suite folder in this machine's temp folder: the program (under a chosen name), devcon and both package
// folders, as the installer lays them out.
class VhidDriver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        suite_ = std::wstring(temp) + L"instelix-suite\\";
        Clean();
        harness::MakeDirs(suite_ + L"x64");
        harness::MakeDirs(suite_ + L"x86");
        ASSERT_TRUE(CopyFileW(harness::FixturePath(L"devcon.exe").c_str(), (suite_ + L"devcon.exe").c_str(), FALSE));
        UseProgramName(L"Instelix.exe");
    }

    void TearDown() override { Clean(); }

    void Clean()
    {
        RemoveVhidDevices();
        harness::RemoveTree(suite_.substr(0, suite_.size() - 1));
        harness::RemoveFile(kInstalledDll);
        harness::RemoveTree(kLogDir);
    }

    void UseProgramName(const std::wstring& name)
    {
        harness::RemoveFile(program_);
        program_ = suite_ + name;
        ASSERT_TRUE(CopyFileW(harness::InstelixPath().c_str(), program_.c_str(), FALSE));
    }

    harness::RunResult Run() { return harness::Run(program_, L"\"" + program_ + L"\" /FLYDRIVER"); }

    static void CreateDevices(int count)
    {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(CreateVhidDevice());
        ASSERT_EQ(CountVhidDevices(), count);
    }

    static void Place(const Dll& dll, const std::wstring& path)
    {
        harness::RemoveFile(path);
        if (dll.present)
            harness::CopyWithVersion(harness::FixturePath(L"recorder.exe"), path, dll.version, dll.version);
    }

    std::wstring Arch() const { return harness::IsWin64Machine() ? L"x64" : L"x86"; }
    std::wstring OtherArch() const { return harness::IsWin64Machine() ? L"x86" : L"x64"; }
    std::wstring PackagedDll(const std::wstring& arch) const { return suite_ + arch + L"\\TesmarVhid.dll"; }

    std::wstring Install() const
    {
        return L"devcon.exe\t\"" + suite_ + L".\\devcon.exe\" install \"" + suite_ + L".\\" + Arch() +
               L"\\WUDFVhidmini.Inf\" \"root\\TesmarVhid\"";
    }

    std::wstring Remove() const { return L"devcon.exe\t\"" + suite_ + L".\\devcon.exe\" remove root\\TesmarVhid"; }

    static std::wstring LogText() { return harness::Utf16FromBytes(harness::ReadBytes(kLogDir + L"\\em9.Log")); }

    std::wstring suite_;
    std::wstring program_;
    harness::Journal journal_;
};

TEST_F(VhidDriver, DeviceCountAndVersionsDecideWhatDevconDoes)
{
    enum Runs { Nothing, InstallOnly, RemoveThenInstall };
    struct Case
    {
        const char* name;
        int devices;
        Dll installed;
        Dll packaged;
        bool packagedForOtherArch;
        UINT exitCode;
        Runs runs;
    };
    const Case cases[] = {
        {"no device", 0, kNoDll, kNoDll, false, 1, InstallOnly},
        {"one device, installed older", 1, V(1, 0, 0, 0), V(1, 0, 0, 1), false, 1, RemoveThenInstall},
        {"one device, installed as new", 1, V(1, 2, 3, 4), V(1, 2, 3, 4), false, 1, Nothing},
        {"one device, installed newer", 1, V(2, 0, 0, 0), V(1, 9, 9, 9), false, 1, Nothing},
        {"one device, no installed dll", 1, kNoDll, V(1, 0, 0, 1), false, 0, Nothing},
        {"one device, no packaged dll", 1, V(1, 0, 0, 0), kNoDll, false, 0, Nothing},
        // The other architecture's package is never looked at.
        {"one device, package only for the other machine", 1, V(1, 0, 0, 0), V(1, 0, 0, 1), true, 0, Nothing},
        {"two devices, versions ignored", 2, V(2, 0, 0, 0), V(1, 0, 0, 0), false, 1, RemoveThenInstall},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        RemoveVhidDevices();
        harness::RemoveFile(journal_.Path());
        CreateDevices(c.devices);
        Place(c.installed, kInstalledDll);
        Place(kNoDll, PackagedDll(Arch()));
        Place(kNoDll, PackagedDll(OtherArch()));
        Place(c.packaged, PackagedDll(c.packagedForOtherArch ? OtherArch() : Arch()));

        const harness::RunResult run = Run();

        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, c.exitCode);
        const Lines expected = c.runs == Nothing       ? Lines()
                               : c.runs == InstallOnly ? Lines{Install()}
                                                       : Lines{Remove(), Install()};
        EXPECT_EQ(journal_.Lines(), expected);
    }
}

TEST_F(VhidDriver, RepeatedRunsSeeTheDeviceThatDevconInstalled)
{
    Place(V(1, 0, 0, 0), kInstalledDll);
    Place(V(1, 0, 0, 0), PackagedDll(Arch()));

    EXPECT_EQ(Run().exitCode, 1u);
    EXPECT_EQ(Run().exitCode, 1u);

    EXPECT_EQ(journal_.Lines(), Lines{Install()});
    EXPECT_EQ(CountVhidDevices(), 1);
}

TEST_F(VhidDriver, DevconThatCannotBeStartedFailsWithoutFurtherRuns)
{
    harness::MakeDirs(kLogDir);
    harness::RemoveFile(suite_ + L"devcon.exe");
    for (int devices : {0, 2})
    {
        SCOPED_TRACE(devices);
        RemoveVhidDevices();
        harness::RemoveFile(kLogDir + L"\\em9.Log");
        CreateDevices(devices);

        EXPECT_EQ(Run().exitCode, 0u);

        // After a remove that could not start, no install is tried.
        const std::wstring log = LogText();
        size_t failures = 0;
        for (size_t at = log.find(L"CreateProcess failed"); at != std::wstring::npos;
             at = log.find(L"CreateProcess failed", at + 1))
            ++failures;
        EXPECT_EQ(failures, 1u) << log;
    }
}

TEST_F(VhidDriver, RenamedProgramStillFindsDevconBesideIt)
{
    for (const wchar_t* name : {L"instelix.exe", L"DeviceSetup.exe"})
    {
        SCOPED_TRACE(testing::Message() << name);
        RemoveVhidDevices();
        harness::RemoveFile(journal_.Path());
        UseProgramName(name);

        EXPECT_EQ(Run().exitCode, 1u);

        EXPECT_EQ(journal_.Lines(), Lines{Install()});
    }
}

TEST_F(VhidDriver, EnumerationEndIsLoggedWhenLoggingIsOn)
{
    harness::MakeDirs(kLogDir);
    CreateDevices(1);
    Place(V(1, 0, 0, 0), kInstalledDll);
    Place(V(1, 0, 0, 0), PackagedDll(Arch()));

    EXPECT_EQ(Run().exitCode, 1u);

    EXPECT_NE(LogText().find(L"<<<=Ts error=>>>:  CDevInfo EnumDeviceInfo return  259 \r\n"), std::wstring::npos)
        << LogText();
}
}  // namespace
