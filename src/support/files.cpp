#include "support/files.h"

#include <aclapi.h>
#include <shlwapi.h>

#include "support/compat.h"
#include "support/text.h"
#include "support/unique.h"

namespace
{
using GetFileVersionInfoSizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using GetFileVersionInfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VerQueryValueFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

bool ReadFixedFileInfo(HMODULE versionDll, const wchar_t* path, FileVersion* version)
{
    const auto getSize = ProcAddress<GetFileVersionInfoSizeFn>(versionDll, "GetFileVersionInfoSizeW");
    const auto getInfo = ProcAddress<GetFileVersionInfoFn>(versionDll, "GetFileVersionInfoW");
    const auto query = ProcAddress<VerQueryValueFn>(versionDll, "VerQueryValueW");
    if (getSize == nullptr || getInfo == nullptr || query == nullptr)
        return false;
    DWORD ignored = 0;
    const DWORD size = getSize(path, &ignored);
    if (size == 0)
        return false;
    UniqueLocal buffer(LocalAlloc(LMEM_FIXED, size));
    if (!buffer || !getInfo(path, 0, size, buffer.get()))
        return false;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!query(buffer.get(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr)
        return false;
    version->high = fixed->dwFileVersionMS;
    version->low = fixed->dwFileVersionLS;
    return true;
}
}  // namespace

bool GetFileVersion(const wchar_t* path, FileVersion* version)
{
    if (path == nullptr)
        return false;
    // version.dll is not a KnownDLL: importing it would let a copy planted beside this elevated program load.
    UniqueModule versionDll(LoadSystemVersionDll(LoadLibraryExW));
    if (!versionDll)
        return false;
    return ReadFixedFileInfo(versionDll.get(), path, version);
}

HMODULE LoadSystemVersionDll(LibraryLoader load)
{
    HMODULE module = load(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    // Never the bare name: it would be looked up beside this program again, where a planted copy may wait.
    wchar_t dllPath[kPathChars];
    const UINT chars = GetSystemDirectoryW(dllPath, kPathChars);
    if (chars == 0)
        return nullptr;
    if (chars >= kPathChars || !AppendText(dllPath, kPathChars, L"\\version.dll"))
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    // Its own imports are then looked up in the system folder first as well.
    return load(dllPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

bool IsVersionOlder(const FileVersion& a, const FileVersion& b)
{
    if (a.high != b.high)
        return a.high < b.high;
    return a.low < b.low;
}

bool MyMoveFile(const wchar_t* source, const wchar_t* target)
{
    if (!PathFileExistsW(source))
        return false;
    if (PathFileExistsW(target))
        SetFileAttributesW(target, FILE_ATTRIBUTE_NORMAL);
    const DWORD attributes = GetFileAttributesW(source);
    SetFileAttributesW(source, FILE_ATTRIBUTE_NORMAL);
    // Returns only once the move is on the disk, so that no next step is taken on a move a power loss could undo.
    if (!MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return false;
    SetFileAttributesW(target, attributes);
    return true;
}

bool InheritFolderPermissions(const wchar_t* path)
{
    // An empty list of the file's own entries; the unprotected DACL then takes the folder's inheritable entries.
    ACL noEntries;
    if (!InitializeAcl(&noEntries, sizeof(noEntries), ACL_REVISION))
        return false;
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
    // The name is only read; the declaration merely lacks const.
    const DWORD status =
        SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT, what, nullptr, nullptr, &noEntries, nullptr);
    if (status != ERROR_SUCCESS)
        SetLastError(status);
    return status == ERROR_SUCCESS;
}

bool IsPlainFileAt(HANDLE file, const wchar_t* path)
{
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & notPlain) != 0 || info.nNumberOfLinks != 1)
        return false;
    wchar_t resolved[MAX_PATH + 4];  // "\\?\" and the path
    const DWORD chars =
        GetFinalPathNameByHandleW(file, resolved, ARRAYSIZE(resolved), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return chars > 4 && chars < ARRAYSIZE(resolved) && wcsncmp(resolved, L"\\\\?\\", 4) == 0 &&
           CompareStringOrdinal(resolved + 4, -1, path, -1, TRUE) == CSTR_EQUAL;
}

bool Is64BitWindows()
{
    UniqueModule kernel(LoadLibraryW(L"Kernel32.DLL"));
    if (!kernel)
        return PathFileExistsW(L"C:\\Program Files (x86)") != FALSE;
    const auto isWow64Process = ProcAddress<IsWow64ProcessFn>(kernel.get(), "IsWow64Process");
    if (isWow64Process == nullptr)
        return false;
    BOOL wow64 = FALSE;
    isWow64Process(GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

bool RestrictLibrarySearch()
{
    // Looked up, not imported: Windows 7 has it only with an update installed.
    const auto setDefault =
        ProcAddress<SetDefaultDllDirectoriesFn>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
        return true;
    return SetDllDirectoryW(L"") != FALSE;
}

HMODULE LoadLibraryFromPath(const wchar_t* path)
{
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    // Systems without the restricted search reject the flags; they load the way they always did.
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadLibraryW(path);
    return module;
}
