#include "harness/harness.h"

#include <tlhelp32.h>

std::wstring Fixture(const std::string& name)
{
    return sandbox::ProgramFolder() + L"fixtures\\" + machine::Widen(name);
}

DWORD RunLine(const std::wstring& line, const std::wstring& program)
{
    sandbox::Waiting waiting;
    waiting.limitMs = 30000;
    const sandbox::Ending ending = sandbox::RunLine(line, program, waiting);
    if (!ending.started)
        ADD_FAILURE() << "cannot start " << machine::Narrow(line);
    return ending.exitCode;
}

Lines LogEntries(const std::wstring& path, bool oneRun)
{
    Lines entries;
    std::string fault;
    if (!sandbox::ReadLogEntries(machine::ReadBytes(path), oneRun, entries, fault))
        ADD_FAILURE() << fault;
    return entries;
}

namespace
{
// Wine raises an exception for every OutputDebugString call; under a user-mode emulator dispatching one in a
// process with a vectored handler (the thread runtime installs one) corrupts the thread, so the test program's
// imports go to a no-op. Instelix itself has no such handler.
void WINAPI Ignore(LPCWSTR)
{
}

int ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}
}  // namespace

extern "C" void(WINAPI* g_debugA)(LPCWSTR) __asm__("__imp__OutputDebugStringA@4");
extern "C" void(WINAPI* g_debugW)(LPCWSTR) __asm__("__imp__OutputDebugStringW@4");
void(WINAPI* g_debugA)(LPCWSTR) = Ignore;
void(WINAPI* g_debugW)(LPCWSTR) = Ignore;

int main(int argc, char** argv)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    sandbox::UseStandins(Fixture(""));
    // A shell and a key recorder run throughout, as on a desktop, and end with this program.
    machine::Reset();
    const sandbox::Desktop desktop;
    int result = RUN_ALL_TESTS();
    // Only an emulated machine hangs on a second thread; this shows one everywhere.
    const testing::UnitTest& run = *testing::UnitTest::GetInstance();
    if (result == 0 && run.skipped_test_count() == 0 && ThreadCount() != 1)
    {
        printf("The test program ran with more than one thread (tests/harness/harness.h says why it must not).\n");
        result = 1;
    }
    // Ending at once keeps library clean-up, which nothing here tests, from holding up the verdict.
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
