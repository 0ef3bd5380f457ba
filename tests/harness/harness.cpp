#include "harness/harness.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

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
    IsWow64Process(GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

static HANDLE Start(const std::wstring& application, const std::wstring& commandLine, DWORD* id)
{
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(application.empty() ? nullptr : application.c_str(), line.data(), nullptr, nullptr, FALSE,
                        0, nullptr, nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    if (id != nullptr)
        *id = info.dwProcessId;
    return info.hProcess;
}

RunResult Run(const std::wstring& application, const std::wstring& commandLine, DWORD timeoutMs)
{
    RunResult result;
    HANDLE process = Start(application, commandLine, nullptr);
    if (process == nullptr)
        return result;
    result.started = true;
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
    {
        result.timedOut = true;
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, 5000);
    }
    GetExitCodeProcess(process, &result.exitCode);
    CloseHandle(process);
    return result;
}

RunResult RunInstelix(const std::wstring& arguments, DWORD timeoutMs)
{
    return Run(InstelixPath(), L"\"" + InstelixPath() + L"\" " + arguments, timeoutMs);
}

Child::Child(const std::wstring& application, const std::wstring& commandLine)
{
    // Not in the initialiser list: id_'s default initialiser would run after Start() and reset it to 0.
    process_ = Start(application, commandLine, &id_);
}

Child::Child(Child&& other) noexcept : process_(other.process_), id_(other.id_)
{
    other.process_ = nullptr;
}

Child& Child::operator=(Child&& other) noexcept
{
    if (this != &other)
    {
        Kill();
        process_ = other.process_;
        id_ = other.id_;
        other.process_ = nullptr;
    }
    return *this;
}

Child::~Child()
{
    Kill();
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
    switch (view)
    {
    case View::Bits32:
        return KEY_WOW64_32KEY;
    case View::Bits64:
        return KEY_WOW64_64KEY;
    default:
        return 0;
    }
}

void DeleteKey(View view, const std::wstring& subKey)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_ALL_ACCESS | ViewFlag(view), &key) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), ViewFlag(view), 0);
}

void DeleteKeyEverywhere(const std::wstring& subKey)
{
    DeleteKey(View::Bits32, subKey);
    DeleteKey(View::Bits64, subKey);
}

bool KeyExists(View view, const std::wstring& subKey)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ | ViewFlag(view), &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void SetValue(View view, const std::wstring& subKey, const std::wstring& name, DWORD type, const void* data,
              DWORD bytes)
{
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | ViewFlag(view),
                                     nullptr, &key, nullptr);
    ASSERT_EQ(status, ERROR_SUCCESS) << "creating the test key";
    status = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
    ASSERT_EQ(status, ERROR_SUCCESS) << "writing the test value";
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
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_ALL_ACCESS | ViewFlag(view), &key) != ERROR_SUCCESS)
        return false;
    const bool deleted = RegDeleteValueW(key, name.c_str()) == ERROR_SUCCESS;
    RegCloseKey(key);
    return deleted;
}

bool GetValue(View view, const std::wstring& subKey, const std::wstring& name, DWORD* type, std::vector<BYTE>* data)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ | ViewFlag(view), &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size);
    if (status == ERROR_SUCCESS)
    {
        data->assign(size, 0);
        status = RegQueryValueExW(key, name.c_str(), nullptr, type, data->data(), &size);
        data->resize(size);
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

long long GetDword(View view, const std::wstring& subKey, const std::wstring& name, long long missing)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!GetValue(view, subKey, name, &type, &data) || data.size() != sizeof(DWORD))
        return missing;
    DWORD value = 0;
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
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    RemoveFile(path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "creating a test file";
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
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
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path + L"\\" + name);
            else
                RemoveFile(path + L"\\" + name);
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
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
    if (utf8.empty())
        return std::wstring();
    const int chars = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(chars, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], chars);
    return text;
}

namespace
{
void PutWord(std::string& out, WORD value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

void PutDword(std::string& out, DWORD value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

// A VS_VERSIONINFO block holding only the fixed information, as a resource compiler lays it out.
std::string VersionBlock(const WORD file[4], const WORD product[4])
{
    std::string block;
    PutWord(block, 0);                          // wLength, set below
    PutWord(block, sizeof(VS_FIXEDFILEINFO));   // wValueLength
    PutWord(block, 0);                          // wType: binary
    for (const wchar_t* key = L"VS_VERSION_INFO";; ++key)
    {
        PutWord(block, static_cast<WORD>(*key));
        if (*key == 0)
            break;
    }
    while (block.size() % 4 != 0)
        block.push_back(0);
    PutDword(block, VS_FFI_SIGNATURE);
    PutDword(block, VS_FFI_STRUCVERSION);
    PutDword(block, MAKELONG(file[1], file[0]));
    PutDword(block, MAKELONG(file[3], file[2]));
    PutDword(block, MAKELONG(product[1], product[0]));
    PutDword(block, MAKELONG(product[3], product[2]));
    PutDword(block, VS_FFI_FILEFLAGSMASK);
    PutDword(block, 0);
    PutDword(block, VOS_NT_WINDOWS32);
    PutDword(block, VFT_APP);
    PutDword(block, 0);
    PutDword(block, 0);
    PutDword(block, 0);
    const WORD length = static_cast<WORD>(block.size());
    memcpy(&block[0], &length, sizeof(length));
    return block;
}
}  // namespace

void CopyWithVersion(const std::wstring& source, const std::wstring& target, const WORD fileVersion[4],
                     const WORD productVersion[4])
{
    RemoveFile(target);
    ASSERT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << "copying " << GetLastError();
    HANDLE update = BeginUpdateResourceW(target.c_str(), FALSE);
    ASSERT_NE(update, nullptr);
    std::string block = VersionBlock(fileVersion, productVersion);
    ASSERT_TRUE(UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO),
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &block[0],
                                static_cast<DWORD>(block.size())));
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
    const std::wstring text = Widen(ReadBytes(path_));
    size_t start = 0;
    for (size_t end = text.find(L'\n'); end != std::wstring::npos; end = text.find(L'\n', start))
    {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
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
