#pragma once
// File versions, file replacement, the install-root decision and where libraries are loaded from.

#include <windows.h>

// The fixed file version of a version resource, held low word first as callers store it.
struct FileVersion
{
    DWORD low;   // build (upper 16 bits), revision (lower 16 bits)
    DWORD high;  // major (upper 16 bits), minor (lower 16 bits)
};

// Reads the fixed file version (not the product version) of `path`. On failure `version` is untouched.
bool GetFileVersion(const wchar_t* path, FileVersion* version);

// LoadLibraryExW, or a stand-in that plays a system refusing some of its flags.
using LibraryLoader = HMODULE(WINAPI*)(LPCWSTR name, HANDLE reserved, DWORD flags);

// Loads version.dll from the system folder only, through `load`: by the restricted search where the system has it,
// else by its full path there (Windows 7 without update KB2533623 refuses the flag with ERROR_INVALID_PARAMETER).
// Null on failure, with the last attempt's error current.
HMODULE LoadSystemVersionDll(LibraryLoader load);

// True when `a` is strictly older than `b`. Both words compare unsigned, so a major of 32768 or more is newer
// than any smaller major.
bool IsVersionOlder(const FileVersion& a, const FileVersion& b);

// Renames `source` over `target` (no copy across volumes), replacing a read-only, hidden or system target; the
// moved file keeps the attributes it had at `source`. False when the file is not at `target` afterwards; the
// failed move's last-error code is then still current.
bool MyMoveFile(const wchar_t* source, const wchar_t* target);

// Gives the file at `path` the permissions a file created in its folder would get: its own entries go and it inherits
// the folder's. A rename within a volume keeps the entries the file had in its old folder. False when they could not
// be reset; the failure's code is then the last-error code.
bool InheritFolderPermissions(const wchar_t* path);

// True when `file` is a plain file under one name only (not a folder, not a reparse point opened as such, without a
// second hard link) and, with every link on its way resolved, is the file at `path` (a full path with a drive letter;
// letter case aside). An elevated write through anything else could land in a file that whoever planted a link chose.
bool IsPlainFileAt(HANDLE file, const wchar_t* path);

// True on 64-bit Windows (this 32-bit process runs under WOW64).
bool Is64BitWindows();

// Takes the current folder and PATH out of the library search of this process, keeping the program's folder and
// the system folder, so that an elevated run started from a user's folder cannot load a DLL planted there. Where
// the system cannot restrict the search that far, at least the current folder goes. False when neither worked.
bool RestrictLibrarySearch();

// Loads the library at the full `path`; its own dependencies are looked up beside it first, as its installer
// expects, then in the restricted search.
HMODULE LoadLibraryFromPath(const wchar_t* path);
