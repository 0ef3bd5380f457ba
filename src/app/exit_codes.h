#pragma once
// The process exit codes that callers read.

#include <windows.h>

constexpr UINT kExitNoChoreResult = 0;  // walk ran to its end, or an ending chore reported 0
constexpr UINT kExitChoreDone = 1;      // an ending chore reported 1
constexpr UINT kExitNoArguments = 10;   // the command line could not be split
