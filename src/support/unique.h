#pragma once
// Move-only owners for Win32 handles: one traits type per release function.

#include <windows.h>
#include <setupapi.h>

template <class Traits>
class Unique
{
public:
    using Handle = typename Traits::Handle;

    Unique() = default;
    explicit Unique(Handle handle) : handle_(handle) {}
    ~Unique() { reset(); }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : handle_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Invalid(); }

    // Releases the current handle first, so the address can be handed to an API as an out-parameter.
    Handle* put()
    {
        reset();
        return &handle_;
    }

    Handle release()
    {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    // Closes the owned handle; the caller's last-error code survives the close.
    void reset(Handle handle = Traits::Invalid())
    {
        if (handle_ != Traits::Invalid())
        {
            const DWORD lastError = GetLastError();
            Traits::Close(handle_);
            SetLastError(lastError);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::Invalid();
};

struct KernelHandleTraits
{
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { CloseHandle(h); }
};

struct FileHandleTraits
{
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};

struct RegKeyTraits
{
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { RegCloseKey(h); }
};

struct ModuleTraits
{
    using Handle = HMODULE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { FreeLibrary(h); }
};

struct DevInfoTraits
{
    using Handle = HDEVINFO;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { SetupDiDestroyDeviceInfoList(h); }
};

struct LocalMemoryTraits
{
    using Handle = HLOCAL;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { LocalFree(h); }
};

using UniqueHandle = Unique<KernelHandleTraits>;  // processes, threads, events
using UniqueFile = Unique<FileHandleTraits>;      // files and Toolhelp snapshots
using UniqueRegKey = Unique<RegKeyTraits>;
using UniqueModule = Unique<ModuleTraits>;
using UniqueDevInfo = Unique<DevInfoTraits>;
using UniqueLocal = Unique<LocalMemoryTraits>;
