#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/harness.h"

namespace
{
// What the loader and the shell read from the program file itself.
TEST(Program, CarriesItsManifestAndVersionResource)
{
    HMODULE image = LoadLibraryExW(harness::InstelixPath().c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr);
    HRSRC manifestInfo = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifestInfo, nullptr) << "no application manifest";
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, manifestInfo)));
    const std::string manifest(bytes, SizeofResource(image, manifestInfo));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
    EXPECT_NE(manifest.find("supportedOS"), std::string::npos);
    FreeLibrary(image);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(harness::InstelixPath().c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(harness::InstelixPath().c_str(), 0, size, info.data()));
    wchar_t* product = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                               reinterpret_cast<void**>(&product), &length));
    EXPECT_EQ(std::wstring(product), L"Instelix");
}

TEST(Program, ArgumentsThatMatchNothingAreSkipped)
{
    // Had any near miss selected an ending chore, the walk would not reach the last switch, which ends with 1.
    const harness::RunResult run = harness::RunInstelix(
        L"/Pop /POP:1 //POP \"/POP \" /updatedriver /phonecompanion /PHONECOMPANION nothing /setrotationopen");
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 1u);
}
}  // namespace
