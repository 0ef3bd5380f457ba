#include "drivers/dev_info.h"

#include "support/log.h"

CDevInfo::CDevInfo(const GUID* classGuid)
{
    const DWORD flags = classGuid != nullptr ? DIGCF_PRESENT : DIGCF_PRESENT | DIGCF_ALLCLASSES;
    set_.reset(SetupDiGetClassDevsW(classGuid, nullptr, nullptr, flags));
    if (!set_)
    {
        const DWORD error = GetLastError();
        LogError(L" CDevInfo SetupDiGetClassDevs return  %d ", error);
    }
}

bool CDevInfo::EnumDeviceInfo()
{
    ++index_;
    device_.cbSize = sizeof(device_);
    lastResult_ = SetupDiEnumDeviceInfo(set_.get(), static_cast<DWORD>(index_), &device_);
    if (!lastResult_)
    {
        const DWORD error = GetLastError();
        LogError(L" CDevInfo EnumDeviceInfo return  %d ", error);
    }
    return lastResult_ != FALSE;
}
