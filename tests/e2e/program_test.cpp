#include <gtest/gtest.h>

#include "harness/harness.h"

using namespace harness;

// What the loader and the shell read from the program file itself.
TEST(Program, CarriesItsManifestAndVersionResource)
{
    HMODULE image = LoadLibraryExW(InstelixPath().c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr);
    HRSRC manifestInfo = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifestInfo, nullptr) << "no application manifest";
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, manifestInfo))),
                               SizeofResource(image, manifestInfo));
    FreeLibrary(image);
    for (const char* part : {"level=\"asInvoker\"", ">true</dpiAware>", "supportedOS"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part;

    DWORD ignored = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(InstelixPath().c_str(), &ignored));
    ASSERT_TRUE(GetFileVersionInfoW(InstelixPath().c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    wchar_t* product = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                               reinterpret_cast<void**>(&product), &length));
    EXPECT_EQ(std::wstring(product), L"Instelix");
}

// The real program's walk: every element is tested, the program path included, and the first ending chore decides.
TEST(Program, WalksEveryElementUntilAChoreEndsIt)
{
    const wchar_t kAutoRotationKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation";
    Tidy tidy([&] {
        DeleteKeyEverywhere(kAutoRotationKey);
        DeleteKeyEverywhere(L"SOFTWARE\\Tesmar");
    });
    // Rotation already on, and a settings key that /rotationreg would watch for ever.
    SetDword(View::Bits64, kAutoRotationKey, L"Enable", 1);
    SetDword(View::Bits64, L"Software\\Tesmar\\Tesmar Settings", L"AutoRatation", 1);
    const std::wstring program = L"\"" + InstelixPath() + L"\" ";
    const struct
    {
        std::wstring commandLine;
        DWORD exitCode;
    } cases[] = {
        // Had any near miss selected an ending chore, the walk would not reach the last switch, which ends with 1.
        {program + L"/Pop /POP:1 //POP \"/POP \" /updatedriver /phonecompanion /PHONECOMPANION nothing "
                   L"/setrotationopen",
         1},
        {program + L"/PHONECOMPANION /setrotationopen /rotationreg", 1},  // /rotationreg is never reached
        {L"/setrotationopen", 1},  // the switch alone, with no program path in front of it
        {program, 0},              // the program path alone does nothing
    };
    for (const auto& c : cases)
    {
        const RunResult run = harness::Run(InstelixPath(), c.commandLine, 10000);
        ASSERT_TRUE(run.started);
        EXPECT_FALSE(run.timedOut) << c.commandLine;
        EXPECT_EQ(run.exitCode, c.exitCode) << c.commandLine;
    }
}
