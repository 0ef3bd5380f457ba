#include <gtest/gtest.h>

#include <string>

#include "harness/harness.h"
#include "support/registry.h"

using namespace harness;

// Which view the DWORD writes, the rotation read and the key check use is asserted where the chores use them
// (reading mode, rotation, ACPI driver removal); these cases cover what those cannot reach.
namespace
{
const wchar_t kKey[] = L"SOFTWARE\\InstelixTest\\Registry";
// Keys under SYSTEM\CurrentControlSet are the same in both views.
const wchar_t kSharedKey[] = L"SYSTEM\\CurrentControlSet\\Services\\InstelixRegistryTest";

class Registry : public ::testing::Test
{
protected:
    Tidy tidy_{[] {
        DeleteKeyEverywhere(L"SOFTWARE\\InstelixTest");
        DeleteKeyEverywhere(kSharedKey);
    }};
};

TEST_F(Registry, DwordReadTakesValuesOfAtMostFourBytesFromThe64BitViewOrKeepsTheDefault)
{
    const struct
    {
        const char* what;
        View view;
        const wchar_t* name;  // the value written; null: no key at all
        DWORD type;
        std::string bytes;
        bool succeeds;
        DWORD expected;
    } cases[] = {
        {"dword", View::Bits64, L"Value", REG_DWORD, std::string("\x01\x00\x00\x00", 4), true, 1},
        {"three-byte binary", View::Bits64, L"Value", REG_BINARY, "\x11\x22\x33", true, 0x332211},
        {"one-character string", View::Bits64, L"Value", REG_SZ, std::string("1\0\0\0", 4), true, 0x31},
        {"five-byte binary", View::Bits64, L"Value", REG_BINARY, "\x01\x02\x03\x04\x05", false, 0},
        {"qword", View::Bits64, L"Value", REG_QWORD, std::string(8, '\x01'), false, 0},
        {"missing key", View::Bits64, nullptr, REG_DWORD, "", false, 0},
        {"missing value", View::Bits64, L"Other", REG_DWORD, std::string("\x07\x00\x00\x00", 4), false, 0},
        // Seen only where both views are one.
        {"only in the 32-bit view", View::Bits32, L"Value", REG_DWORD, std::string("\x05\x00\x00\x00", 4),
         !IsWin64Machine(), 5},
    };
    for (const auto& c : cases)
    {
        DeleteKeyEverywhere(kKey);
        if (c.name != nullptr)
            SetValue(c.view, kKey, c.name, c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        DWORD value = 0xCAFEF00D;
        EXPECT_EQ(ReadRegDword(&value, kKey, L"Value"), c.succeeds) << c.what;
        EXPECT_EQ(value, c.succeeds ? c.expected : 0xCAFEF00D) << c.what;
    }
}

TEST_F(Registry, StringReadGivesATerminatedTextOfUpTo259CharactersOrNothing)
{
    wchar_t windows[MAX_PATH];
    GetEnvironmentVariableW(L"SystemRoot", windows, MAX_PATH);
    const struct
    {
        const char* what;
        DWORD type;
        std::wstring stored;  // written as is, terminator included only where given
        bool succeeds;
        std::wstring expected;
    } cases[] = {
        {"empty", REG_SZ, std::wstring(1, L'\0'), true, L""},
        {"one", REG_SZ, std::wstring(1, L'a') + L'\0', true, L"a"},
        {"259", REG_SZ, std::wstring(259, L'a') + L'\0', true, std::wstring(259, L'a')},
        {"260", REG_SZ, std::wstring(260, L'a') + L'\0', false, L""},
        {"300", REG_SZ, std::wstring(300, L'a') + L'\0', false, L""},
        {"260 without terminator, filling the buffer", REG_SZ, std::wstring(260, L'b'), false, L""},
        {"a DWORD read as text without terminator", REG_DWORD, L"BA", true, L"BA"},
        {"expanded", REG_EXPAND_SZ, std::wstring(L"%SystemRoot%\\System32\\svc.exe") + L'\0', true,
         std::wstring(windows) + L"\\System32\\svc.exe"},
    };
    for (const auto& c : cases)
    {
        SetValue(View::Default, kSharedKey, L"Text", c.type, c.stored.data(),
                 static_cast<DWORD>(c.stored.size() * sizeof(wchar_t)));
        wchar_t out[kPathChars + 8];
        wmemset(out, L'x', ARRAYSIZE(out));
        EXPECT_EQ(ReadRegString(kSharedKey, L"Text", out), c.succeeds) << c.what;
        EXPECT_EQ(std::wstring(out), c.expected) << c.what;
    }
}

TEST_F(Registry, StringReadUsesTheDefaultView)
{
    SetString(View::Bits64, kKey, L"Text", L"sixty-four");
    wchar_t out[kPathChars];
    if (IsWin64Machine())
    {
        EXPECT_FALSE(ReadRegString(kKey, L"Text", out));
        SetString(View::Bits32, kKey, L"Text", L"thirty-two");
    }
    ASSERT_TRUE(ReadRegString(kKey, L"Text", out));
    EXPECT_EQ(std::wstring(out), IsWin64Machine() ? L"thirty-two" : L"sixty-four");
}
}  // namespace
