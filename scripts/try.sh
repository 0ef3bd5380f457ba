#!/usr/bin/env bash
# Runs Instelix.exe with the given switches in a sandbox: a stand-in Windows machine kept under the build folder.
#   scripts/try.sh [--win32] SWITCH...
# The default machine is 64-bit Windows (the program runs under WoW64); --win32 uses a 32-bit Windows machine.
# The machine keeps its state from one run to the next, like a real one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
arch=win64
if [ "${1:-}" = --win32 ]; then
    arch=win32
    shift
fi

# shellcheck source=setup.sh
source "$here/setup.sh"
instelix_setup
instelix_build >/dev/null

prefix=$root/build/mingw-x86/sandbox/$arch
"$root/tests/harness/prefix.sh" up "$prefix" "$arch" >/dev/null
trap '"$root/tests/harness/prefix.sh" down "$prefix"' EXIT

status=0
WINEPREFIX=$prefix WINEDEBUG=-all wine "$root/build/mingw-x86/Instelix.exe" "$@" </dev/null >/dev/null 2>&1 || status=$?
echo "Instelix.exe $* -> exit code $status ($arch)"
