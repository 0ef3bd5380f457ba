#include <gtest/gtest.h>

#include <string>

#include "drivers/acpi_driver.h"
#include "drivers/vhid_driver.h"

TEST(AcpiInfPath, FormsThePathOnlyFromATextThatNamesAnInf)
{
    struct Case
    {
        const wchar_t* deviceDesc;
        const wchar_t* path;  // empty when no INF is known
    };
    const Case cases[] = {
        {L"@oem12.inf,%desc%;Some Device", L"C:\\windows\\INF\\oem12.inf"},
        {L"oem12.inf,%desc%;Some Device", L"C:\\windows\\INF\\oem12.inf"},  // no marker: nothing is dropped
        {L"@oem3.inf", L"C:\\windows\\INF\\oem3.inf"},
        {L"@oem1.inf,x.inf", L"C:\\windows\\INF\\oem1.inf"},  // the first occurrence counts
        {L"@OEM12.INF,%desc%;Some Device", L""},               // the extension is matched case-sensitively
        {L"Tesmar ACPI Device", L""},
        {L"@.inf,%desc%", L""},
        {L".inf", L""},
        {L"", L""},
    };
    for (const Case& c : cases)
    {
        wchar_t path[260] = L"untouched";
        EXPECT_EQ(InfPathFromDeviceDesc(c.deviceDesc, path, 260), c.path[0] != 0) << c.deviceDesc;
        EXPECT_STREQ(path, c.path) << c.deviceDesc;
    }
}

TEST(AcpiInfPath, RefusesAPathThatDoesNotFit)
{
    const std::wstring desc = L"@" + std::wstring(240, L'a') + L".inf,%desc%";
    wchar_t path[260];
    EXPECT_TRUE(InfPathFromDeviceDesc(desc.c_str(), path, 260));  // 15 + 240 + 4 units and the terminator
    const std::wstring longer = L"@" + std::wstring(241, L'a') + L".inf";
    EXPECT_FALSE(InfPathFromDeviceDesc(longer.c_str(), path, 260));
    EXPECT_STREQ(path, L"");
}

TEST(VhidPackagePaths, LieInTheProgramFolderWhateverTheProgramIsCalled)
{
    struct Case
    {
        const wchar_t* program;
        bool win64;
        const wchar_t* devcon;
        const wchar_t* inf;
        const wchar_t* dll;
    };
    const Case cases[] = {
        {L"C:\\Suite\\Instelix.exe", true, L"C:\\Suite\\.\\devcon.exe", L"C:\\Suite\\.\\x64\\WUDFVhidmini.Inf",
         L"C:\\Suite\\.\\x64\\TesmarVhid.dll"},
        {L"C:\\Suite\\Instelix.exe", false, L"C:\\Suite\\.\\devcon.exe", L"C:\\Suite\\.\\x86\\WUDFVhidmini.Inf",
         L"C:\\Suite\\.\\x86\\TesmarVhid.dll"},
        {L"C:\\A\\Instelix.exe\\b\\instelix.exe", true, L"C:\\A\\Instelix.exe\\b\\.\\devcon.exe",
         L"C:\\A\\Instelix.exe\\b\\.\\x64\\WUDFVhidmini.Inf", L"C:\\A\\Instelix.exe\\b\\.\\x64\\TesmarVhid.dll"},
    };
    for (const Case& c : cases)
    {
        VhidPackagePaths paths;
        ASSERT_TRUE(BuildVhidPackagePaths(c.program, c.win64, &paths)) << c.program;
        EXPECT_STREQ(paths.devcon, c.devcon);
        EXPECT_STREQ(paths.inf, c.inf);
        EXPECT_STREQ(paths.dll, c.dll);
    }
}

TEST(VhidPackagePaths, RefuseAProgramPathWithoutFolderOrTooLongForThePackage)
{
    VhidPackagePaths paths;
    EXPECT_FALSE(BuildVhidPackagePaths(L"Instelix.exe", true, &paths));
    // The devcon path would still fit; the INF path would be cut.
    const std::wstring deep = L"C:\\" + std::wstring(236, L'd') + L"\\Instelix.exe";
    EXPECT_FALSE(BuildVhidPackagePaths(deep.c_str(), true, &paths));
}
