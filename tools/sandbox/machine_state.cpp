#include "machine_state.h"

#include <stdio.h>
#include <tlhelp32.h>

#include <algorithm>
#include <memory>

#include "vhid_devices.h"

namespace machine
{
namespace
{
const wchar_t* const kKeys[] = {L"SOFTWARE\\Tesmar", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation",
                                L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr",
                                L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004"};
const wchar_t* const kFiles[] = {L"C:\\Program Files\\Tesmar",
                                 L"C:\\Program Files (x86)\\Tesmar",
                                 L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe",
                                 L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe.Temp",
                                 L"C:\\Windows\\System32\\drivers\\AcpiQrx.sys",
                                 L"C:\\Windows\\System32\\drivers\\UMDF\\TesmarVhid.dll",
                                 L"C:\\ProgramData\\tmspr_prof.cfg",
                                 L"C:\\Suite"};
const wchar_t* const kPrograms[] = {L"Settings.exe", L"TesmarWiFiHotspotSvr.exe"};
const char kDevices[] = "virtual HID devices present";
const char kRunning[] = "running ";

struct Closer
{
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, Closer>;

// Keeps a description on one line.
std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', '|');
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::string DescribeValue(DWORD type, const std::vector<BYTE>& data)
{
    char text[64];
    if (type == REG_DWORD && data.size() == 4)
        return "REG_DWORD " + std::to_string(*reinterpret_cast<const DWORD*>(data.data()));
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        return std::string(type == REG_SZ ? "REG_SZ " : "REG_EXPAND_SZ ") +
               OneLine(Narrow(std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2).c_str()));
    std::string out = "type " + std::to_string(type) + ", bytes:";
    for (BYTE b : data)
    {
        snprintf(text, sizeof(text), " %02x", b);
        out += text;
    }
    return out;
}

// (label, view flag) of each registry view a 32-bit program can name on this machine.
std::vector<std::pair<std::string, REGSAM>> Views()
{
    if (IsWin64())
        return {{" [64-bit view]", KEY_WOW64_64KEY}, {" [32-bit view]", KEY_WOW64_32KEY}};
    return {{"", 0}};
}

void AddKey(Snapshot& snapshot, const std::wstring& path, REGSAM view, const std::string& label)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS)
        return;
    const Key key(opened);
    const std::string name = "HKLM\\" + Narrow(path) + label;
    snapshot[name] = "key";
    wchar_t child[16384];
    for (DWORD i = 0;; ++i)
    {
        DWORD chars = ARRAYSIZE(child);
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(opened, i, child, &chars, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size);
        chars = ARRAYSIZE(child);
        RegEnumValueW(opened, i, child, &chars, nullptr, &type, data.data(), &size);
        data.resize(size);
        snapshot[name + ": " + Narrow(chars ? child : L"(default)")] = DescribeValue(type, data);
    }
    for (DWORD i = 0;; ++i)
    {
        DWORD chars = ARRAYSIZE(child);
        if (RegEnumKeyExW(opened, i, child, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        AddKey(snapshot, path + L"\\" + child, view, label);
    }
}

std::string DescribeFile(const std::wstring& path, const WIN32_FIND_DATAW& found)
{
    std::string out = std::to_string(found.nFileSizeLow) + " bytes";
    DWORD ignored = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    char text[64];
    if (!info.empty() && GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()) &&
        VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr)
    {
        snprintf(text, sizeof(text), "version %u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                 LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        out = text;
    }
    const DWORD shown = found.dwFileAttributes & ~(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL);
    if (shown != 0)
    {
        snprintf(text, sizeof(text), ", attributes 0x%lx", shown);
        out += text;
    }
    const std::wstring extension = path.substr(std::min(path.size(), path.find_last_of(L'.')));
    if (found.nFileSizeLow < 1024 && (extension == L".cfg" || extension == L".inf" || extension == L".Inf"))
        out = "text: " + OneLine(ReadBytes(path));
    return out;
}

void AddFiles(Snapshot& snapshot, const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    FindClose(find);
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    {
        snapshot[Narrow(path)] = DescribeFile(path, found);
        return;
    }
    find = FindFirstFileW((path + L"\\*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
    {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            AddFiles(snapshot, path + L"\\" + found.cFileName);
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}

// Calls `visit(id, image)` for every running process.
template <class Visit>
void ForEachProcess(Visit visit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        visit(entry.th32ProcessID, entry.szExeFile);
    CloseHandle(snapshot);
}

bool CopyWithVersion(const std::wstring& source, const std::wstring& target, const WORD v[4])
{
    // The product version is the same for every copy, so that only the file version tells them apart.
    const DWORD high = MAKELONG(v[1], v[0]);
    const DWORD low = MAKELONG(v[3], v[2]);
    const DWORD product = MAKELONG(0, 9);
    // A version block holding only the fixed information, laid out as a resource compiler does.
    struct
    {
        WORD length, valueLength, type;
        wchar_t key[16];
        WORD padding;
        VS_FIXEDFILEINFO fixed;
    } block = {sizeof(block),
               sizeof(VS_FIXEDFILEINFO),
               0,
               L"VS_VERSION_INFO",
               0,
               {VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, high, low, product, 0, VS_FFI_FILEFLAGSMASK, 0, VOS_NT_WINDOWS32,
                VFT_APP, 0, 0, 0}};
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE))
        return false;
    HANDLE update = BeginUpdateResourceW(target.c_str(), FALSE);
    if (update == nullptr)
        return false;
    const bool updated = UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO),
                                         MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &block, sizeof(block));
    return EndUpdateResourceW(update, !updated) && updated;
}

bool ApplyFile(const std::wstring& path, const std::string& description, const std::wstring& standins)
{
    RemoveTree(path);
    if (description == "absent")
        return true;
    if (description == "folder")
    {
        MakeDirs(path);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    WORD v[4] = {};
    if (sscanf(description.c_str(), "version %hu.%hu.%hu.%hu", &v[0], &v[1], &v[2], &v[3]) >= 1)
        return CopyWithVersion(standins + L"standin.exe", path, v);
    if (description == "standin")
        return CopyFileW((standins + L"standin.exe").c_str(), path.c_str(), FALSE) != FALSE;
    if (description.rfind("library ", 0) == 0)
        return CopyFileW((standins + Widen(description.substr(8))).c_str(), path.c_str(), FALSE) != FALSE;
    return description.rfind("text: ", 0) == 0 && WriteBytes(path, description.substr(6));
}

bool ApplyValue(const std::string& name, const std::string& description)
{
    const std::vector<std::pair<std::string, REGSAM>> views = Views();
    auto view = views.begin();
    size_t end = name.find(": ");
    for (auto v = views.begin(); v != views.end(); ++v)
    {
        const size_t at = v->first.empty() ? std::string::npos : name.find(v->first);
        if (at != std::string::npos)
        {
            view = v;
            end = at;
        }
    }
    const std::wstring path = Widen(name.substr(5, end - 5));
    const size_t colon = name.find(": ", end);
    if (colon == std::string::npos)  // the key alone
    {
        if (description == "absent")
        {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
            return true;
        }
        HKEY created = nullptr;
        return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE | view->second, nullptr,
                               &created, nullptr) == ERROR_SUCCESS &&
               RegCloseKey(created) == ERROR_SUCCESS;
    }
    HKEY opened = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view->second, nullptr,
                        &opened, nullptr) != ERROR_SUCCESS)
        return false;
    const Key key(opened);
    const std::wstring value = Widen(name.substr(colon + 2));
    if (description == "absent")
    {
        RegDeleteValueW(opened, value.c_str());
        return true;
    }
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    const size_t blank = description.find(' ');
    const std::string kind = description.substr(0, blank);
    const std::string rest = description.substr(blank + 1);
    if (kind == "REG_DWORD")
    {
        const DWORD number = strtoul(rest.c_str(), nullptr, 10);
        type = REG_DWORD;
        data.assign(reinterpret_cast<const BYTE*>(&number), reinterpret_cast<const BYTE*>(&number + 1));
    }
    else if (kind == "REG_SZ" || kind == "REG_EXPAND_SZ")
    {
        const std::wstring text = Widen(rest);
        type = kind == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        data.assign(reinterpret_cast<const BYTE*>(text.c_str()),
                    reinterpret_cast<const BYTE*>(text.c_str() + text.size() + 1));
    }
    else if (kind == "type")
    {
        type = strtoul(rest.c_str(), nullptr, 10);
        for (size_t at = rest.find(':'); at != std::string::npos && at + 3 <= rest.size(); at += 3)
            data.push_back(static_cast<BYTE>(strtoul(rest.substr(at + 1, 3).c_str(), nullptr, 16)));
    }
    else
        return false;
    return RegSetValueExW(opened, value.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())) ==
           ERROR_SUCCESS;
}
}  // namespace

bool IsWin64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::string ProgramFiles(bool other)
{
    return IsWin64() != other ? "C:\\Program Files (x86)" : "C:\\Program Files";
}

Snapshot TakeSnapshot()
{
    Snapshot snapshot;
    for (const wchar_t* key : kKeys)
    {
        for (const auto& view : Views())
            AddKey(snapshot, key, view.second, key[1] == L'O' ? view.first : "");
    }
    for (const wchar_t* path : kFiles)
        AddFiles(snapshot, path);
    const int devices = CountVhidDevices();
    if (devices >= 0)
        snapshot[kDevices] = std::to_string(devices);
    // Counted from 0, as the devices are, so that a count that drops to 0 reads "~ 1 -> 0" too.
    for (const wchar_t* program : kPrograms)
        snapshot[kRunning + Narrow(program)] = "0";
    ForEachProcess([&](DWORD, const wchar_t* image) {
        for (const wchar_t* program : kPrograms)
        {
            if (lstrcmpiW(image, program) == 0)
                snapshot[kRunning + Narrow(program)] =
                    std::to_string(atoi(snapshot[kRunning + Narrow(program)].c_str()) + 1);
        }
    });
    return snapshot;
}

std::vector<std::string> CompareSnapshots(const Snapshot& before, const Snapshot& after)
{
    Snapshot changes;  // by name, so that the lines come in name order
    for (const auto& was : before)
    {
        const auto now = after.find(was.first);
        if (now == after.end())
            changes[was.first] = "- " + was.first + ": " + was.second;
        else if (now->second != was.second)
            changes[was.first] = "~ " + was.first + ": " + was.second + " -> " + now->second;
    }
    for (const auto& now : after)
    {
        if (before.count(now.first) == 0)
            changes[now.first] = "+ " + now.first + ": " + now.second;
    }
    std::vector<std::string> lines;
    for (const auto& change : changes)
        lines.push_back(change.second);
    return lines;
}

std::string SnapshotToText(const Snapshot& snapshot)
{
    std::string text;
    for (const auto& entry : snapshot)
        text += entry.first + "\t" + entry.second + "\n";
    return text;
}

bool Apply(const std::string& name, const std::string& description, const std::wstring& standins)
{
    if (name == kDevices)
    {
        RemoveVhidDevices();
        for (int i = atoi(description.c_str()); i > 0; --i)
        {
            if (!CreateVhidDevice())
                return false;
        }
        return true;
    }
    if (name.rfind("HKLM\\", 0) == 0)
        return ApplyValue(name, description);
    return name.size() > 3 && name[1] == ':' && ApplyFile(Widen(name), description, standins);
}

void Reset()
{
    for (const wchar_t* key : kKeys)
    {
        for (const auto& view : Views())
        {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);  // the default view
            HKEY opened = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS | view.second, &opened) == ERROR_SUCCESS)
            {
                RegDeleteTreeW(opened, nullptr);
                RegCloseKey(opened);
            }
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, view.second, 0);
        }
    }
    ForEachProcess([](DWORD id, const wchar_t* image) {
        for (const wchar_t* program : kPrograms)
        {
            if (lstrcmpiW(image, program) != 0)
                continue;
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
            if (process == nullptr)
                continue;
            if (TerminateProcess(process, 0xDEAD))
                WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    });
    for (const wchar_t* path : kFiles)
        RemoveTree(path);
    RemoveVhidDevices();
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

std::string ReadBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    char chunk[4096];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const bool wrote = file != INVALID_HANDLE_VALUE &&
                       WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                       written == bytes.size();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return wrote;
}

void MakeDirs(const std::wstring& path)
{
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    CreateDirectoryW(path.c_str(), nullptr);
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
    {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            RemoveTree(path + L"\\" + found.cFileName);
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
    DeleteFileW(path.c_str());
}
}  // namespace machine
