#include "harness/harness.h"

#include <gtest/gtest.h>

#include "support/unique.h"

namespace harness
{
std::wstring BuildDir()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

std::wstring InstelixPath()
{
    return BuildDir() + L"Instelix.exe";
}

std::wstring FixturePath(const std::wstring& name)
{
    return BuildDir() + L"fixtures\\" + name;
}

bool IsWin64Machine()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

RunResult Run(const std::wstring& application, const std::wstring& commandLine, DWORD timeoutMs)
{
    Child child(application, commandLine);
    RunResult result;
    result.started = child.Id() != 0;
    if (result.started && !child.Wait(timeoutMs, &result.exitCode))
    {
        result.timedOut = true;
        result.exitCode = 0xDEAD;
    }
    return result;
}

RunResult RunInstelix(const std::wstring& arguments, DWORD timeoutMs)
{
    return Run(InstelixPath(), L"\"" + InstelixPath() + L"\" " + arguments, timeoutMs);
}

Child::Child(const std::wstring& application, const std::wstring& commandLine)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(application.empty() ? nullptr : application.c_str(), &line[0], nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &info))
        return;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    id_ = info.dwProcessId;
}

Child& Child::operator=(Child&& other) noexcept
{
    std::swap(process_, other.process_);
    std::swap(id_, other.id_);
    return *this;
}

bool Child::Running() const
{
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool Child::Wait(DWORD timeoutMs, DWORD* exitCode)
{
    if (process_ == nullptr || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode != nullptr)
        GetExitCodeProcess(process_, exitCode);
    return true;
}

void Child::Kill()
{
    if (process_ == nullptr)
        return;
    TerminateProcess(process_, 0xDEAD);
    WaitForSingleObject(process_, 5000);
    CloseHandle(process_);
    process_ = nullptr;
}

static REGSAM ViewFlag(View view)
{
    return view == View::Bits32 ? KEY_WOW64_32KEY : view == View::Bits64 ? KEY_WOW64_64KEY : 0;
}

// `subKey` of HKEY_LOCAL_MACHINE in the view given, opened or created; empty on failure.
static UniqueRegKey OpenKey(View view, const std::wstring& subKey, REGSAM access, bool create = false)
{
    HKEY key = nullptr;
    const REGSAM sam = access | ViewFlag(view);
    const LSTATUS status =
        create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, sam, nullptr, &key, nullptr)
               : RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, sam, &key);
    return UniqueRegKey(status == ERROR_SUCCESS ? key : nullptr);
}

void DeleteKey(View view, const std::wstring& subKey)
{
    if (UniqueRegKey key = OpenKey(view, subKey, KEY_ALL_ACCESS))
        RegDeleteTreeW(key.get(), nullptr);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), ViewFlag(view), 0);
}

void DeleteKeyEverywhere(const std::wstring& subKey)
{
    DeleteKey(View::Bits32, subKey);
    DeleteKey(View::Bits64, subKey);
}

bool KeyExists(View view, const std::wstring& subKey)
{
    return static_cast<bool>(OpenKey(view, subKey, KEY_READ));
}

void SetValue(View view, const std::wstring& subKey, const std::wstring& name, DWORD type, const void* data,
              DWORD bytes)
{
    UniqueRegKey key = OpenKey(view, subKey, KEY_ALL_ACCESS, true);
    ASSERT_NE(key.get(), nullptr) << "creating the test key";
    ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS)
        << "writing the test value";
}

void SetDword(View view, const std::wstring& subKey, const std::wstring& name, DWORD value)
{
    SetValue(view, subKey, name, REG_DWORD, &value, sizeof(value));
}

void SetString(View view, const std::wstring& subKey, const std::wstring& name, const std::wstring& text, DWORD type)
{
    SetValue(view, subKey, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool DeleteValue(View view, const std::wstring& subKey, const std::wstring& name)
{
    UniqueRegKey key = OpenKey(view, subKey, KEY_ALL_ACCESS);
    return key && RegDeleteValueW(key.get(), name.c_str()) == ERROR_SUCCESS;
}

bool GetValue(View view, const std::wstring& subKey, const std::wstring& name, DWORD* type, std::vector<BYTE>* data)
{
    UniqueRegKey key = OpenKey(view, subKey, KEY_READ);
    DWORD size = 0;
    if (!key || RegQueryValueExW(key.get(), name.c_str(), nullptr, type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    data->assign(size, 0);
    const bool read = RegQueryValueExW(key.get(), name.c_str(), nullptr, type, data->data(), &size) == ERROR_SUCCESS;
    data->resize(size);
    return read;
}

long long GetDword(View view, const std::wstring& subKey, const std::wstring& name, long long missing)
{
    DWORD type = 0, value = 0;
    std::vector<BYTE> data;
    if (!GetValue(view, subKey, name, &type, &data) || data.size() != sizeof(DWORD))
        return missing;
    memcpy(&value, data.data(), sizeof(value));
    return value;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadBytes(const std::wstring& path)
{
    std::string bytes;
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    char chunk[4096];
    DWORD got = 0;
    while (file && ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    RemoveFile(path);
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(static_cast<bool>(file)) << "creating a test file";
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void MakeDirs(const std::wstring& path)
{
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    CreateDirectoryW(path.c_str(), nullptr);
}

void RemoveFile(const std::wstring& path)
{
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
    {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveTree : RemoveFile)(path + L"\\" + name);
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
    RemoveFile(path);
}

std::wstring Utf16FromBytes(const std::string& bytes)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

std::wstring Widen(const std::string& utf8)
{
    std::wstring text(utf8.size(), L'\0');  // never more UTF-16 units than UTF-8 bytes
    text.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0],
                                    static_cast<int>(text.size())));
    return text;
}

std::string Narrow(const std::wstring& text)
{
    std::string utf8(text.size() * 3, '\0');  // at most three UTF-8 bytes for each UTF-16 unit
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0],
                                    static_cast<int>(utf8.size()), nullptr, nullptr));
    return utf8;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

void CopyWithVersion(const std::wstring& source, const std::wstring& target, const WORD fileVersion[4],
                     const WORD productVersion[4])
{
    auto high = [](const WORD* v) { return static_cast<DWORD>(MAKELONG(v[1], v[0])); };
    auto low = [](const WORD* v) { return static_cast<DWORD>(MAKELONG(v[3], v[2])); };
    // A VS_VERSIONINFO block holding only the fixed information, as a resource compiler lays it out.
    struct
    {
        WORD length, valueLength, type;
        wchar_t key[16];
        WORD padding;
        VS_FIXEDFILEINFO fixed;
    } block = {sizeof(block), sizeof(VS_FIXEDFILEINFO), 0, L"VS_VERSION_INFO", 0,
               {VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, high(fileVersion), low(fileVersion), high(productVersion),
                low(productVersion), VS_FFI_FILEFLAGSMASK, 0, VOS_NT_WINDOWS32, VFT_APP, 0, 0, 0}};
    RemoveFile(target);
    ASSERT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << "copying " << GetLastError();
    HANDLE update = BeginUpdateResourceW(target.c_str(), FALSE);
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO),
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &block, sizeof(block)));
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE));
}

Journal::Journal()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"instelix-journal.txt";
    RemoveFile(path_);
    SetEnvironmentVariableW(L"INSTELIX_JOURNAL", path_.c_str());
}

Journal::~Journal()
{
    SetEnvironmentVariableW(L"INSTELIX_JOURNAL", nullptr);
    RemoveFile(path_);
}

std::vector<std::wstring> Journal::Lines() const
{
    std::vector<std::wstring> lines;
    for (const std::string& line : SplitLines(ReadBytes(path_)))
        lines.push_back(Widen(line));
    return lines;
}

ScopedEnv::ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name)
{
    wchar_t old[4096];
    const DWORD length = GetEnvironmentVariableW(name, old, ARRAYSIZE(old));
    had_ = length > 0 && length < ARRAYSIZE(old);
    if (had_)
        old_ = old;
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnv::~ScopedEnv()
{
    SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr);
}
}  // namespace harness
