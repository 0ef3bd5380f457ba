#include "harness/harness.h"

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
    const int result = RUN_ALL_TESTS();
    // Ending at once keeps library clean-up, which nothing here tests, from holding up the verdict.
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
