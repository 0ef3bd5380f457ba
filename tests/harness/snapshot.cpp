#include "harness/snapshot.h"

#include <stdio.h>

#include "fixtures/vhid_devices.h"
#include "harness/harness.h"

namespace harness
{
namespace
{
std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string out(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
    return out;
}

// Keeps a description on one line of the text form.
std::string OneLine(std::string text)
{
    for (char& c : text)
    {
        if (c == '\n')
            c = '|';
        else if (c == '\r' || c == '\t')
            c = ' ';
    }
    return text;
}

std::string DescribeValue(DWORD type, const std::vector<BYTE>& data)
{
    char head[64];
    if ((type == REG_DWORD) && data.size() == 4)
    {
        DWORD value = 0;
        memcpy(&value, data.data(), 4);
        snprintf(head, sizeof(head), "REG_DWORD %lu", value);
        return head;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ)
    {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
        text = text.c_str();
        return std::string(type == REG_SZ ? "REG_SZ " : "REG_EXPAND_SZ ") + OneLine(Narrow(text));
    }
    snprintf(head, sizeof(head), "type %lu, %u bytes:", type, static_cast<unsigned>(data.size()));
    std::string out = head;
    for (BYTE b : data)
    {
        char hex[4];
        snprintf(hex, sizeof(hex), " %02x", b);
        out += hex;
    }
    return out;
}

void AddKey(Snapshot& snapshot, HKEY key, const std::wstring& path, const std::string& label)
{
    wchar_t name[16384];
    for (DWORD index = 0;; ++index)
    {
        DWORD nameChars = ARRAYSIZE(name);
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name, &nameChars, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size);
        nameChars = ARRAYSIZE(name);
        RegEnumValueW(key, index, name, &nameChars, nullptr, &type, data.data(), &size);
        data.resize(size);
        snapshot["HKLM\\" + Narrow(path) + label + ": " + Narrow(nameChars ? name : L"(default)")] =
            DescribeValue(type, data);
    }
    for (DWORD index = 0;; ++index)
    {
        DWORD nameChars = ARRAYSIZE(name);
        if (RegEnumKeyExW(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS)
            continue;
        snapshot["HKLM\\" + Narrow(path + L"\\" + name) + label] = "key";
        AddKey(snapshot, child, path + L"\\" + name, label);
        RegCloseKey(child);
    }
}

void AddRegistry(Snapshot& snapshot, const std::wstring& path, REGSAM view, const std::string& label)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return;
    snapshot["HKLM\\" + Narrow(path) + label] = "key";
    AddKey(snapshot, key, path, label);
    RegCloseKey(key);
}

std::string DescribeFile(const std::wstring& path, const WIN32_FIND_DATAW& found)
{
    char text[160];
    snprintf(text, sizeof(text), "%lu bytes, attributes 0x%lx", found.nFileSizeLow, found.dwFileAttributes);
    std::string out = text;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size > 0 && GetFileVersionInfoW(path.c_str(), 0, size, info.data()) &&
        VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr)
    {
        snprintf(text, sizeof(text), ", version %u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                 LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        out += text;
    }
    const size_t dot = path.find_last_of(L'.');
    const std::wstring extension = dot == std::wstring::npos ? L"" : path.substr(dot);
    if (found.nFileSizeLow < 1024 && (extension == L".cfg" || extension == L".inf" || extension == L".Inf"))
        out += ", text: " + OneLine(ReadBytes(path));
    return out;
}

void AddFiles(Snapshot& snapshot, const std::wstring& pattern)
{
    const std::wstring folder = pattern.substr(0, pattern.find_last_of(L'\\') + 1);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do
    {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            AddFiles(snapshot, folder + name + L"\\*");
        else
            snapshot[Narrow(folder + name)] = DescribeFile(folder + name, found);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}
}  // namespace

Snapshot TakeSnapshot()
{
    Snapshot snapshot;
    const bool win64 = IsWin64Machine();
    for (const wchar_t* key : {L"SOFTWARE\\Tesmar", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation"})
    {
        if (win64)
        {
            AddRegistry(snapshot, key, KEY_WOW64_64KEY, " [64-bit view]");
            AddRegistry(snapshot, key, KEY_WOW64_32KEY, " [32-bit view]");
        }
        else
        {
            AddRegistry(snapshot, key, 0, "");
        }
    }
    AddRegistry(snapshot, L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr", 0, "");
    AddRegistry(snapshot, L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004", 0, "");
    for (const wchar_t* pattern : {L"C:\\Program Files\\Tesmar\\*", L"C:\\Program Files (x86)\\Tesmar\\*",
                                   L"C:\\Windows\\System32\\TesmarWiFiHotspotSvr.exe*",
                                   L"C:\\Windows\\System32\\drivers\\AcpiQrx.sys",
                                   L"C:\\Windows\\System32\\drivers\\UMDF\\TesmarVhid.dll",
                                   L"C:\\ProgramData\\tmspr_prof.cfg", L"C:\\Suite\\*"})
        AddFiles(snapshot, pattern);
    if (const int devices = CountVhidDevices(); devices >= 0)
        snapshot["virtual HID devices present"] = std::to_string(devices);
    return snapshot;
}

std::vector<std::string> CompareSnapshots(const Snapshot& before, const Snapshot& after)
{
    std::vector<std::string> lines;
    auto was = before.begin();
    auto now = after.begin();
    while (was != before.end() || now != after.end())
    {
        if (now == after.end() || (was != before.end() && was->first < now->first))
        {
            lines.push_back("- " + was->first + ": " + was->second);
            ++was;
        }
        else if (was == before.end() || now->first < was->first)
        {
            lines.push_back("+ " + now->first + ": " + now->second);
            ++now;
        }
        else
        {
            if (was->second != now->second)
                lines.push_back("~ " + was->first + ": " + was->second + " -> " + now->second);
            ++was;
            ++now;
        }
    }
    return lines;
}

std::string SnapshotToText(const Snapshot& snapshot)
{
    std::string text;
    for (const auto& entry : snapshot)
        text += entry.first + "\t" + entry.second + "\n";
    return text;
}

Snapshot SnapshotFromText(const std::string& text)
{
    Snapshot snapshot;
    for (const std::string& line : SplitLines(text))
    {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos)
            snapshot[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return snapshot;
}
}  // namespace harness
