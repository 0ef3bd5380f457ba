#include <gtest/gtest.h>

#include <string>

#include "drivers/acpi_driver.h"
#include "drivers/vhid_driver.h"

// The usual "@oem12.inf,%desc%;..." text and the package paths on each machine are checked end to end; these are
// the edges.
TEST(AcpiInfPath, FormsThePathOnlyFromATextThatNamesAnInf)
{
    const struct
    {
        std::wstring deviceDesc;
        std::wstring path;  // empty when no INF is known
    } cases[] = {
        {L"oem12.inf,%desc%;Some Device", L"C:\\windows\\INF\\oem12.inf"},  // no marker: nothing is dropped
        {L"@oem3.inf", L"C:\\windows\\INF\\oem3.inf"},
        {L"@oem1.inf,x.inf", L"C:\\windows\\INF\\oem1.inf"},  // the first occurrence counts
        {L"@OEM12.INF,%desc%;Some Device", L""},               // the extension is matched case-sensitively
        {L"Tesmar ACPI Device", L""},
        {L"@.inf,%desc%", L""},
        {L".inf", L""},
        {L"", L""},
        // 15 + 240 + 4 units and the terminator fit a path buffer; one more does not.
        {L"@" + std::wstring(240, L'a') + L".inf,%desc%", L"C:\\windows\\INF\\" + std::wstring(240, L'a') + L".inf"},
        {L"@" + std::wstring(241, L'a') + L".inf", L""},
    };
    for (const auto& c : cases)
    {
        wchar_t path[260] = L"untouched";
        EXPECT_EQ(InfPathFromDeviceDesc(c.deviceDesc.c_str(), path, 260), !c.path.empty()) << c.deviceDesc;
        EXPECT_EQ(std::wstring(path), c.path) << c.deviceDesc;
    }
}

TEST(VhidPackagePaths, LieInTheProgramsOwnFolder)
{
    VhidPackagePaths paths;
    ASSERT_TRUE(BuildVhidPackagePaths(L"C:\\A\\Instelix.exe\\b\\instelix.exe", true, &paths));
    EXPECT_STREQ(paths.devcon, L"C:\\A\\Instelix.exe\\b\\.\\devcon.exe");
    EXPECT_STREQ(paths.inf, L"C:\\A\\Instelix.exe\\b\\.\\x64\\WUDFVhidmini.Inf");
    EXPECT_STREQ(paths.dll, L"C:\\A\\Instelix.exe\\b\\.\\x64\\TesmarVhid.dll");
    EXPECT_FALSE(BuildVhidPackagePaths(L"Instelix.exe", true, &paths)) << "no folder";
    // The devcon path would still fit; the INF path would be cut.
    const std::wstring deep = L"C:\\" + std::wstring(236, L'd') + L"\\Instelix.exe";
    EXPECT_FALSE(BuildVhidPackagePaths(deep.c_str(), true, &paths));
}
