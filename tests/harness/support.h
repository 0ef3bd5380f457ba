#pragma once
// Helpers for the tests of the shared support routines and the chores built on them: the log folder and its
// lines, the support probe (a fresh process running the routines), lingering stand-ins.

#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace harness
{
extern const wchar_t kLogFolder[];  // "D:\DeviceControl"
extern const wchar_t kLogFile[];    // "D:\DeviceControl\em9.Log"

// Gives the log folder, empty, for the life of the object; removes it and anything in it (or a plain file of that
// name) before and after.
class LogFolder
{
public:
    LogFolder();
    ~LogFolder();
};

// Removes "D:\DeviceControl" and the probe's "D:\DeviceControl.gone", whatever they are.
void RemoveLogFolders();

struct LogLine
{
    int stamp[6] = {};  // year, month, day, hour, minute, second (UTC)
    int sequence = 0;
    std::wstring kind;  // "error" or "Debug "
    std::wstring message;
};

// Splits log text into its lines. False when some text does not follow the line layout exactly (unpadded stamp,
// entry prefix, CR LF, trailing blank); `lines` then holds what came before it.
bool ParseLog(const std::wstring& text, std::vector<LogLine>* lines);

// The lines of a log file; a layout fault fails the calling test.
std::vector<LogLine> ReadLog(const std::wstring& path = kLogFile);
// The log file's text as it stands, layout unchecked; empty when there is none.
std::wstring LogText();
// How often `piece` occurs in `text`.
size_t Occurrences(const std::wstring& text, const std::wstring& piece);

// Runs `probe` (the support probe by default) with its steps (see fixtures/supportprobe.cpp).
RunResult RunProbe(const std::wstring& steps, const std::wstring& probe = std::wstring());

// The current UTC time cut to the second, as a number that orders like the time.
long long UtcSecondsNow();
long long UtcSeconds(const int stamp[6]);

bool PathIsFolder(const std::wstring& path);

// True when this machine lets a process read another's module list. Wine run under user-mode emulation (32-bit
// Wine on a kernel without 32-bit support) cannot: reading another process's memory fails with ERROR_NOACCESS.
bool CanReadModuleLists();

// Registers a test that needs module lists; where they cannot be read it is registered disabled, so the run
// reports it as not run. (GTEST_SKIP is not used: under the same emulation it brings down the next test.)
void RegisterNeedingModuleLists(const char* suite, const char* name, void (*body)());

// Copies a stand-in (the recorder unless named) to `path` and starts it lingering; returns once it has fully
// started, so that process enumeration sees its name.
Child StartLingering(const std::wstring& path, const std::wstring& fixture = L"recorder.exe");

// A fresh folder under the machine's temporary folder, removed with its content on destruction.
class TempFolder
{
public:
    explicit TempFolder(const std::wstring& name);
    ~TempFolder();
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// A file version for PlaceVersioned; kNoFile places nothing, kUnversioned a file without a version resource.
using Version4 = std::array<WORD, 4>;
constexpr Version4 kNoFile = {0, 0, 0, 0};
constexpr Version4 kUnversioned = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
inline Version4 V(WORD major, WORD minor = 0, WORD build = 0, WORD revision = 0)
{
    return {major, minor, build, revision};
}

// Replaces `path` with a copy of the stand-in `fixture` carrying this file version (and `product`, or the same,
// as product version), making its folder; gives the bytes placed.
std::string PlaceVersioned(const std::wstring& path, const Version4& version,
                           const std::wstring& fixture = L"recorder.exe", const Version4* product = nullptr);

// Starts one lingering stand-in under each image name, each in a subfolder of its own of `folder`.
std::vector<Child> StartLingering(const TempFolder& folder, const std::vector<std::wstring>& images);

// Id of the first process of a fresh Toolhelp snapshot with this image name (or any case of it); 0 when none.
DWORD FirstProcessNamed(const std::wstring& image, bool anyCase = false);
}  // namespace harness
