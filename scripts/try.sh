#!/usr/bin/env bash
# Runs Instelix.exe in a sandbox: a stand-in Windows machine with the suite installed (stand-ins of its programs and
# libraries at their fixed paths, the hotspot service registered with an older executable, the ACPI and virtual HID
# drivers older than their packages, the log folder present), then reports everything the run did.
#   scripts/try.sh [--win32] [--fresh] [--set 'ITEM']... SWITCH...
#   scripts/try.sh [--win32] [--fresh] --check FILE
# --win32 uses a 32-bit Windows machine (default: 64-bit Windows); --fresh resets the machine to its initial state,
# which it otherwise keeps from run to run, like a real one. --set applies an item (docs/sandbox.md) before the run.
# --check runs every case of a case file and ends with "N passed, M failed" (and ", K skipped" when any were); the
# machine is set up again afterwards.
# Ctrl-C stops a run that waits (the rotation watch, the shell waits) and still prints the report.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
arch=win64
fresh=0
check=""
items=()
usage() {
    echo "try.sh: $1" >&2
    echo "usage: try.sh [--win32] [--fresh] [--set 'ITEM']... SWITCH... | try.sh [--win32] [--fresh] --check FILE" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --win32) arch=win32 ;;
    --fresh) fresh=1 ;;
    --set)
        [ $# -ge 2 ] || usage "--set needs an item"
        items+=("$2")
        shift
        ;;
    --check)
        [ $# -ge 2 ] || usage "--check needs a case file"
        check=$2
        shift
        ;;
    *) break ;;
    esac
    shift
done
if [ -n "$check" ]; then
    [ $# -eq 0 ] && [ ${#items[@]} -eq 0 ] || usage "--check takes neither switches nor --set"
    if [ ! -f "$check" ]; then
        echo "try.sh: $check: no such file" >&2
        exit 2
    fi
fi

# shellcheck source=setup.sh
source "$here/setup.sh"
instelix_build >/dev/null

build=$root/build/mingw-x86
prefix=$build/sandbox/$arch
tool=$build/fixtures/sandbox.exe
export WINEPREFIX=$prefix WINEDEBUG=-all
win() { wine "$@" </dev/null >/dev/null 2>&1; }

if [ $fresh = 1 ]; then
    "$root/tools/sandbox/prefix.sh" down "$prefix"
    rm -rf --one-file-system "$prefix" "$prefix.d"
fi
"$root/tools/sandbox/prefix.sh" up "$prefix" "$arch" >/dev/null
trap '"$root/tools/sandbox/prefix.sh" down "$prefix"' EXIT
if [ ! -f "$prefix/.sandbox-installed" ]; then
    echo "Setting up the sandbox machine ($arch)..."
    win "$tool" install
    touch "$prefix/.sandbox-installed"
fi

if [ -n "$check" ]; then
    status=0
    wine "$tool" check "Z:$(realpath "$check")" "$check" </dev/null || status=$?
    # The cases leave the machine without the suite.
    win "$tool" install
    exit $status
fi

mkdir -p "$prefix/drive_c/sandbox"
list=$prefix/drive_c/sandbox/items.txt
: >"$list"
for item in "${items[@]}"; do
    printf '%s\n' "$item" >>"$list"
done
wine "$tool" run 'C:\sandbox\items.txt' "$@" </dev/null &
pid=$!
# The shell waits with its wait builtin, which a Ctrl-C interrupts without ending the script; the tool, in the
# background, does not see the Ctrl-C and is asked to stop the program instead.
trap 'win "$tool" stop || true' INT
status=0
while kill -0 "$pid" 2>/dev/null; do
    wait "$pid" && status=0 || status=$?
done
trap - INT
exit $status
