#!/usr/bin/env bash
# Compiles a resource script as rc.exe does, with llvm-rc: rc.exe defines RC_INVOKED but not _MSC_VER, which llvm-rc's
# preprocessor (clang for an MSVC target) would define. Wine's headers, read in that mode, redefine a few manifest
# constants of their own; those warnings are no fault of the script, so the output shows only when it fails.
#   rc.sh RC OUTPUT.res   (the tool from LLVM_RC, Windows headers from WINE_INCLUDE)
set -uo pipefail
output=$(mktemp)
trap 'rm -f "$output"' EXIT
# "--" keeps an input path such as /usr/src/... from being read as the option /U.
if ! "$LLVM_RC" /U _MSC_VER /I "$WINE_INCLUDE/windows" /FO "$2" -- "$1" >"$output" 2>&1; then
    cat "$output"
    exit 1
fi
