#pragma once
// A set of present devices, walked one device at a time.

#include <windows.h>
#include <setupapi.h>

#include "support/unique.h"

class CDevInfo
{
public:
    // Opens the present devices of `classGuid`, or of every class when it is null. A set that cannot be opened is
    // logged; the object then enumerates nothing.
    explicit CDevInfo(const GUID* classGuid = nullptr);

    // Moves to the next device. False at the end of the set or on failure; both are logged with the error code
    // (259 at the normal end).
    bool EnumDeviceInfo();

private:
    UniqueDevInfo set_;
    SP_DEVINFO_DATA device_ = {};
    BOOL lastResult_ = FALSE;
    int index_ = -1;
};
