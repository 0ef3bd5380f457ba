#include "features/suite_programs.h"

#include "support/files.h"
#include "support/process.h"
#include "support/text.h"

namespace
{
// Fixed paths: the drive and program-files folder are deliberately not asked of the system.
const wchar_t kToastPath64[] = L"C:\\Program Files (x86)\\Tesmar\\Tesmar Settings\\PopToastProcess.exe";
const wchar_t kToastPath32[] = L"C:\\Program Files\\Tesmar\\Tesmar Settings\\PopToastProcess.exe";
}  // namespace

void LaunchToastProgram()
{
    wchar_t path[kPathChars] = {};
    CopyText(path, kPathChars, Is64BitWindows() ? kToastPath64 : kToastPath32);
    // A failed start is logged by RunAndWait; neither it nor the toast's exit code changes the chore's outcome.
    DWORD exitCode = 0;
    RunAndWait(path, nullptr, &exitCode);
}

void CloseSettingsApplication()
{
    // Nothing running, or a process that cannot be ended, is not the caller's concern.
    TerminateSettingsProcess();
}
