#include <gtest/gtest.h>

#include <string>

#include "harness/harness.h"
#include "support/registry.h"

using harness::View;

namespace
{
const wchar_t kKey[] = L"SOFTWARE\\InstelixTest\\Registry";
const wchar_t kParent[] = L"SOFTWARE\\InstelixTest";
// Keys under SYSTEM\CurrentControlSet are the same in both views.
const wchar_t kSharedKey[] = L"SYSTEM\\CurrentControlSet\\Services\\InstelixRegistryTest";

class Registry : public ::testing::Test
{
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean()
    {
        harness::DeleteKeyEverywhere(kParent);
        harness::DeleteKeyEverywhere(kSharedKey);
    }
};

TEST_F(Registry, DwordWriteCreatesTheKeyInThe64BitView)
{
    ASSERT_TRUE(WriteRegDword(0x12345678, kKey, L"Value"));
    EXPECT_EQ(harness::GetDword(View::Bits64, kKey, L"Value"), 0x12345678);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(harness::GetValue(View::Bits64, kKey, L"Value", &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    if (harness::IsWin64Machine())
    {
        EXPECT_FALSE(harness::KeyExists(View::Bits32, kKey)) << "the 32-bit view must stay untouched";
    }
}

TEST_F(Registry, DwordReadTakesRawValuesOfAtMostFourBytes)
{
    struct Case
    {
        const char* what;
        DWORD type;
        std::string bytes;
        bool succeeds;
        DWORD expected;
    };
    const Case cases[] = {
        {"dword", REG_DWORD, std::string("\x01\x00\x00\x00", 4), true, 1},
        {"three-byte binary", REG_BINARY, std::string("\x11\x22\x33", 3), true, 0x332211},
        {"one-character string", REG_SZ, std::string("1\0\0\0", 4), true, 0x31},
        {"five-byte binary", REG_BINARY, std::string("\x01\x02\x03\x04\x05", 5), false, 0},
        {"qword", REG_QWORD, std::string(8, '\x01'), false, 0},
    };
    for (const Case& c : cases)
    {
        harness::SetValue(View::Bits64, kKey, L"Value", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        DWORD value = 0xCAFEF00D;
        EXPECT_EQ(ReadRegDword(&value, kKey, L"Value"), c.succeeds) << c.what;
        EXPECT_EQ(value, c.succeeds ? c.expected : 0xCAFEF00D) << c.what;
    }
}

TEST_F(Registry, FailedDwordReadsKeepTheCallersDefault)
{
    DWORD value = 42;
    EXPECT_FALSE(ReadRegDword(&value, kKey, L"Value")) << "missing key";
    harness::SetDword(View::Bits64, kKey, L"Other", 7);
    EXPECT_FALSE(ReadRegDword(&value, kKey, L"Value")) << "missing value";
    EXPECT_EQ(value, 42u);
}

TEST_F(Registry, DwordReadLooksOnlyInThe64BitView)
{
    if (!harness::IsWin64Machine())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    harness::SetDword(View::Bits32, kKey, L"Value", 5);
    DWORD value = 9;
    EXPECT_FALSE(ReadRegDword(&value, kKey, L"Value"));
    EXPECT_EQ(value, 9u);
}

TEST_F(Registry, AutoRotationEnableIsReadFromThe64BitView)
{
    const wchar_t key[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation";
    harness::DeleteKeyEverywhere(key);
    DWORD value = 3;
    EXPECT_FALSE(ReadAutoRotationEnable(&value));
    EXPECT_EQ(value, 3u);
    if (harness::IsWin64Machine())
    {
        harness::SetDword(View::Bits32, key, L"Enable", 0);
        EXPECT_FALSE(ReadAutoRotationEnable(&value)) << "the 32-bit view must not be read";
    }
    harness::SetDword(View::Bits64, key, L"Enable", 1);
    EXPECT_TRUE(ReadAutoRotationEnable(&value));
    EXPECT_EQ(value, 1u);
    harness::DeleteKeyEverywhere(key);
}

TEST_F(Registry, KeyExistsLooksInTheDefaultViewOfThisProcess)
{
    harness::SetDword(View::Bits64, kKey, L"Value", 1);
    EXPECT_EQ(RegKeyExists(kKey), !harness::IsWin64Machine()) << "a key only in the 64-bit view";
    harness::SetDword(View::Bits32, kKey, L"Value", 1);
    EXPECT_TRUE(RegKeyExists(kKey));
    EXPECT_FALSE(RegKeyExists(L"SOFTWARE\\InstelixTest\\Missing"));
    harness::SetDword(View::Bits64, kSharedKey, L"Value", 1);
    EXPECT_TRUE(RegKeyExists(kSharedKey)) << "SYSTEM keys are shared by both views";
}

TEST_F(Registry, StringReadsUpTo259Characters)
{
    struct Case
    {
        size_t length;
        bool succeeds;
    };
    for (const Case& c : {Case{0, true}, Case{1, true}, Case{259, true}, Case{260, false}, Case{300, false}})
    {
        const std::wstring text(c.length, L'a');
        harness::SetString(View::Default, kSharedKey, L"Text", text);
        wchar_t out[kPathChars];
        out[0] = L'x';
        const bool result = ReadRegString(kSharedKey, L"Text", out);
        EXPECT_EQ(result, c.succeeds) << c.length;
        EXPECT_EQ(std::wstring(out), c.succeeds ? text : L"") << c.length;
        if (result)
        {
            EXPECT_EQ(static_cast<int>(result), 1);
        }
    }
}

TEST_F(Registry, StringReadAlwaysGivesATerminatedText)
{
    // 260 characters without a terminator fill the whole buffer.
    const std::wstring full(260, L'b');
    harness::SetValue(View::Default, kSharedKey, L"Full", REG_SZ, full.data(), 520);
    wchar_t out[kPathChars + 8];
    wmemset(out, L'x', ARRAYSIZE(out));
    EXPECT_FALSE(ReadRegString(kSharedKey, L"Full", out));
    EXPECT_EQ(out[0], 0);

    const DWORD dword = 0x00410042;  // "BA" as UTF-16 without a terminator
    harness::SetValue(View::Default, kSharedKey, L"Dword", REG_DWORD, &dword, sizeof(dword));
    wmemset(out, L'x', ARRAYSIZE(out));
    EXPECT_TRUE(ReadRegString(kSharedKey, L"Dword", out));
    EXPECT_EQ(std::wstring(out), L"BA");
}

TEST_F(Registry, StringReadExpandsEnvironmentVariables)
{
    harness::SetString(View::Default, kSharedKey, L"ImagePath", L"%SystemRoot%\\System32\\svc.exe", REG_EXPAND_SZ);
    wchar_t windows[MAX_PATH];
    GetEnvironmentVariableW(L"SystemRoot", windows, MAX_PATH);
    wchar_t out[kPathChars];
    ASSERT_TRUE(ReadRegString(kSharedKey, L"ImagePath", out));
    EXPECT_EQ(std::wstring(out), std::wstring(windows) + L"\\System32\\svc.exe");
}

TEST_F(Registry, StringReadUsesTheDefaultView)
{
    harness::SetString(View::Bits64, kKey, L"Text", L"sixty-four");
    wchar_t out[kPathChars];
    if (harness::IsWin64Machine())
    {
        EXPECT_FALSE(ReadRegString(kKey, L"Text", out));
        harness::SetString(View::Bits32, kKey, L"Text", L"thirty-two");
    }
    ASSERT_TRUE(ReadRegString(kKey, L"Text", out));
    EXPECT_EQ(std::wstring(out), harness::IsWin64Machine() ? L"thirty-two" : L"sixty-four");
}
}  // namespace
