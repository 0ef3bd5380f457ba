#include "harness/snapshot.h"

#include <stdio.h>

#include <algorithm>

#include "fixtures/vhid_devices.h"
#include "harness/harness.h"
#include "support/unique.h"

namespace harness
{
namespace
{
// Keeps a description on one line of the text form.
std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', '|');
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\t', ' ');
    return text;
}

std::string DescribeValue(DWORD type, const std::vector<BYTE>& data)
{
    char text[64];
    if (type == REG_DWORD && data.size() == 4)
    {
        snprintf(text, sizeof(text), "REG_DWORD %lu", *reinterpret_cast<const DWORD*>(data.data()));
        return text;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        return std::string(type == REG_SZ ? "REG_SZ " : "REG_EXPAND_SZ ") +
               OneLine(Narrow(std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2).c_str()));
    snprintf(text, sizeof(text), "type %lu, %u bytes:", type, static_cast<unsigned>(data.size()));
    std::string out = text;
    for (BYTE b : data)
    {
        snprintf(text, sizeof(text), " %02x", b);
        out += text;
    }
    return out;
}

// The key `path` under HKEY_LOCAL_MACHINE in `view`, its values and everything below it.
void AddKey(Snapshot& snapshot, const std::wstring& path, REGSAM view, const std::string& label)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS)
        return;
    const std::string name = "HKLM\\" + Narrow(path) + label;
    snapshot[name] = "key";
    wchar_t child[16384];
    DWORD chars = ARRAYSIZE(child), type = 0, size = 0;
    for (DWORD index = 0; RegEnumValueW(key.get(), index, child, &chars, nullptr, &type, nullptr, &size) == 0; ++index)
    {
        std::vector<BYTE> data(size);
        chars = ARRAYSIZE(child);
        RegEnumValueW(key.get(), index, child, &chars, nullptr, &type, data.data(), &size);
        data.resize(size);
        snapshot[name + ": " + Narrow(chars ? child : L"(default)")] = DescribeValue(type, data);
        chars = ARRAYSIZE(child);
    }
    chars = ARRAYSIZE(child);
    for (DWORD index = 0; RegEnumKeyExW(key.get(), index, child, &chars, nullptr, nullptr, nullptr, nullptr) == 0;
         ++index, chars = ARRAYSIZE(child))
        AddKey(snapshot, path + L"\\" + child, view, label);
}

std::string DescribeFile(const std::wstring& path, const WIN32_FIND_DATAW& found)
{
    char text[160];
    snprintf(text, sizeof(text), "%lu bytes, attributes 0x%lx", found.nFileSizeLow, found.dwFileAttributes);
    std::string out = text;
    DWORD ignored = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!info.empty() && GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()) &&
        VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr)
    {
        snprintf(text, sizeof(text), ", version %u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                 LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        out += text;
    }
    const std::wstring extension = path.substr(std::min(path.size(), path.find_last_of(L'.')));
    if (found.nFileSizeLow < 1024 && (extension == L".cfg" || extension == L".inf" || extension == L".Inf"))
        out += ", text: " + OneLine(ReadBytes(path));
    return out;
}

void AddFiles(Snapshot& snapshot, const std::wstring& pattern)
{
    const std::wstring folder = pattern.substr(0, pattern.find_last_of(L'\\') + 1);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern.c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
    {
        const std::wstring name = found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            if (name != L"." && name != L"..")
                AddFiles(snapshot, folder + name + L"\\*");
        }
        else
            snapshot[Narrow(folder + name)] = DescribeFile(folder + name, found);
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}
}  // namespace

Snapshot TakeSnapshot()
{
    Snapshot snapshot;
    for (const wchar_t* key : {L"SOFTWARE\\Tesmar", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AutoRotation"})
    {
        if (IsWin64Machine())
        {
            AddKey(snapshot, key, KEY_WOW64_64KEY, " [64-bit view]");
            AddKey(snapshot, key, KEY_WOW64_32KEY, " [32-bit view]");
        }
        else
            AddKey(snapshot, key, 0, "");
    }
    AddKey(snapshot, L"SYSTEM\\CurrentControlSet\\Services\\TesmarWiFiHotspotSvr", 0, "");
    AddKey(snapshot, L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\QRX2004", 0, "");
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
