#include "features/usage_mode.h"

#include <shlobj.h>

#include "support/compat.h"
#include "support/files.h"
#include "support/text.h"
#include "support/unique.h"

namespace
{
const wchar_t kProfileName[] = L"\\tmspr_prof.cfg";

// Searches as if `text` had been lower-cased in its letters A to Z; `word` is lower case.
bool ContainsFolded(const wchar_t* text, const wchar_t* word)
{
    for (; *text != 0; ++text)
    {
        size_t i = 0;
        while (word[i] != 0 && text[i] != 0 && FoldAsciiLetter(text[i]) == word[i])
            ++i;
        if (word[i] == 0)
            return true;
    }
    return false;
}

const wchar_t* SkipCharacters(const wchar_t* text, size_t count)
{
    const size_t length = wcslen(text);
    return text + (count < length ? count : length);
}

struct ModeWord
{
    const wchar_t* word;
    int mode;
};

// Searched in this order: the first word present decides, wherever it stands.
const ModeWord kModeWords[] = {{L"mv", 1}, {L"mu", 3}, {L"nor", 0}, {L"ph", 2}};

}  // namespace

UsageModeRequest ParseUsageModeArgument(const wchar_t* argument)
{
    UsageModeRequest request = {false, false, 0};
    const wchar_t* remainder = SkipCharacters(argument, 3);
    if (ContainsFolded(remainder, L"wait"))
    {
        request.waitForShell = true;
        remainder = SkipCharacters(remainder, 4);
    }
    for (const ModeWord& candidate : kModeWords)
    {
        if (ContainsFolded(remainder, candidate.word))
        {
            request.hasMode = true;
            request.mode = candidate.mode;
            break;
        }
    }
    return request;
}

const wchar_t* UsageModeLibraryPath(bool is64BitWindows)
{
    return is64BitWindows ? L"C:\\Program Files (x86)\\Tesmar\\Tesmar Settings\\TesmarQMX.dll"
                          : L"C:\\Program Files\\Tesmar\\Tesmar Settings\\TesmarQMX.dll";
}

bool LoadUsageModeLibrary(UsageModeLibrary* library)
{
    library->module.reset(LoadLibraryFromPath(UsageModeLibraryPath(Is64BitWindows())));
    if (!library->module)
        return false;
    library->checkLibraryReadyNow = GetProcAddress(library->module.get(), "CheckLibraryReadyNow");
    if (library->checkLibraryReadyNow == nullptr)
        return false;
    library->setQmxMode = ProcAddress<UsageModeLibrary::SetModeFunction>(library->module.get(), "SetQmxMode");
    if (library->setQmxMode == nullptr)
        return false;
    library->getCurrentUsageMode = GetProcAddress(library->module.get(), "GetCurrentUsageMode");
    return library->getCurrentUsageMode != nullptr;
}

bool ComposeProfilePath(const wchar_t* folder, wchar_t* path)
{
    path[0] = 0;
    // Without the folder the bare name would land in the root of whatever drive is current.
    if (folder[0] == 0)
        return false;
    return CopyText(path, kPathChars, folder) && AppendText(path, kPathChars, kProfileName);
}

bool HoldProfile(const wchar_t* path, UniqueFile* profile)
{
    // Reading is what makes the sharing rules bind (an open for attributes alone restricts nobody); without delete
    // sharing the file can be neither renamed nor replaced while held. Reading and writing stay shared for the opens
    // of WritePrivateProfileStringW, which ask for no right to delete. Windows documents no share mode for them;
    // Wine's share reading and writing.
    const DWORD access = FILE_READ_DATA | FILE_READ_ATTRIBUTES;
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    UniqueFile file(CreateFileW(path, access, sharing, nullptr, OPEN_EXISTING, flags, nullptr));
    // Whatever appears at the name between the two opens is not ours: the creation then fails.
    if (!file && GetLastError() == ERROR_FILE_NOT_FOUND)
        file.reset(CreateFileW(path, access, sharing, nullptr, CREATE_NEW, flags, nullptr));
    if (!file || !IsPlainFileAt(file.get(), path))
        return false;
    profile->reset(file.release());
    return true;
}

void ApplyUsageMode(const UsageModeLibrary& library, int mode)
{
    // The profile records the mode asked for whether or not the library could take it.
    if (library.setQmxMode != nullptr)
        library.setQmxMode(mode);
    wchar_t folder[kPathChars] = {};
    if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE))
        folder[0] = 0;
    wchar_t path[kPathChars];
    UniqueFile profile;
    if (!ComposeProfilePath(folder, path) || !HoldProfile(path, &profile))
        return;
    wchar_t text[16];
    FormatText(text, ARRAYSIZE(text), L"%d", mode);
    // Written by name while the checked file is held, so the name still leads to that file.
    WritePrivateProfileStringW(L"ConfigParam", L"InitWait", text, path);
}

void RunUsageModeChore(const wchar_t* argument, ShellLookup findShell, Sleeper sleep)
{
    const UsageModeRequest request = ParseUsageModeArgument(argument);
    if (request.waitForShell)
    {
        WaitForDesktopShell(findShell, sleep);
        // A shell that has only just appeared is not yet a settled desktop.
        sleep(kUsageModeSettleMs);
    }
    UsageModeLibrary library;
    // The loader's answer is not needed: the mode is still recorded when the library is missing or incomplete,
    // and ApplyUsageMode never calls through a missing entry point.
    LoadUsageModeLibrary(&library);
    if (request.hasMode)
        ApplyUsageMode(library, request.mode);
}
