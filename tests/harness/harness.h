#pragma once
// Helpers for tests that run inside a stand-in Windows machine: starting programs, arranging and observing the
// registry in a chosen view, files, stand-in journals and version resources.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace harness
{
// Folder of the running test program, with a trailing backslash; Instelix.exe lies there too.
std::wstring BuildDir();
std::wstring InstelixPath();
// A stand-in program or library built under fixtures\.
std::wstring FixturePath(const std::wstring& name);
bool IsWin64Machine();

struct RunResult
{
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
};

// Starts `application` with exactly `commandLine` and waits up to `timeoutMs`; a program still running then is
// ended (exit code 0xDEAD) and reported as timed out.
RunResult Run(const std::wstring& application, const std::wstring& commandLine, DWORD timeoutMs = 60000);
// Runs Instelix.exe with its quoted path followed by a blank and `arguments`.
RunResult RunInstelix(const std::wstring& arguments, DWORD timeoutMs = 60000);

// A program that runs while the test does something else; ended (exit code 0xDEAD) when the owner goes.
class Child
{
public:
    Child() = default;
    Child(const std::wstring& application, const std::wstring& commandLine);
    ~Child() { Kill(); }
    Child(Child&& other) noexcept { *this = std::move(other); }
    Child& operator=(Child&& other) noexcept;
    bool Running() const;
    DWORD Id() const { return id_; }
    // Waits up to `timeoutMs`; true with `exitCode` when it ended.
    bool Wait(DWORD timeoutMs, DWORD* exitCode = nullptr);
    void Kill();

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

enum class View
{
    Default,  // what a 32-bit program sees without a view flag
    Bits32,   // KEY_WOW64_32KEY
    Bits64,   // KEY_WOW64_64KEY
};

// Removes `subKey` under HKEY_LOCAL_MACHINE with everything below it, in the view given.
void DeleteKey(View view, const std::wstring& subKey);
void DeleteKeyEverywhere(const std::wstring& subKey);
bool KeyExists(View view, const std::wstring& subKey);
void SetValue(View view, const std::wstring& subKey, const std::wstring& name, DWORD type, const void* data,
              DWORD bytes);
void SetDword(View view, const std::wstring& subKey, const std::wstring& name, DWORD value);
void SetString(View view, const std::wstring& subKey, const std::wstring& name, const std::wstring& text,
               DWORD type = REG_SZ);
bool DeleteValue(View view, const std::wstring& subKey, const std::wstring& name);
// True with the value's type and bytes when it exists.
bool GetValue(View view, const std::wstring& subKey, const std::wstring& name, DWORD* type,
              std::vector<BYTE>* data);
// The DWORD stored, or `missing` when there is no 4-byte value.
long long GetDword(View view, const std::wstring& subKey, const std::wstring& name, long long missing = -1);

bool FileExists(const std::wstring& path);
std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
// Creates a folder and its parents.
void MakeDirs(const std::wstring& path);
// Deletes a file whatever its attributes; no error when it is missing.
void RemoveFile(const std::wstring& path);
void RemoveTree(const std::wstring& path);
std::wstring Utf16FromBytes(const std::string& bytes);
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& text);  // to UTF-8
// The '\n'-ended lines of `text`, without their ends; text after the last one is left out.
std::vector<std::string> SplitLines(const std::string& text);

// Copies `source` to `target` and gives the copy a version resource with these fixed file and product
// versions (four numbers each).
void CopyWithVersion(const std::wstring& source, const std::wstring& target, const WORD fileVersion[4],
                     const WORD productVersion[4]);

// Journal of stand-in calls: every stand-in started while the journal exists appends one line
// "<program name>\t<its command line>" to the file named by INSTELIX_JOURNAL.
class Journal
{
public:
    Journal();
    ~Journal();
    std::vector<std::wstring> Lines() const;
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

// Sets an environment variable for programs started from now on, and restores it on destruction.
class ScopedEnv
{
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value);
    ~ScopedEnv();

private:
    std::wstring name_;
    std::wstring old_;
    bool had_ = false;
};

// Runs `clean` when made and again when destroyed, so a test starts and leaves the machine tidy.
class Tidy
{
public:
    explicit Tidy(std::function<void()> clean) : clean_(std::move(clean)) { clean_(); }
    ~Tidy() { clean_(); }
    Tidy(const Tidy&) = delete;
    Tidy& operator=(const Tidy&) = delete;

private:
    std::function<void()> clean_;
};
}  // namespace harness
