#!/usr/bin/env bash
# Runs Instelix.exe with the given switches in a sandbox: a stand-in Windows machine with the suite installed
# (stand-ins of its programs and libraries at their fixed paths, the hotspot service registered with an older
# executable, the ACPI and virtual HID drivers older than their packages, the log folder present), then reports
# everything the run did.
#   scripts/try.sh [--win32] [--fresh] SWITCH...
# --win32 uses a 32-bit Windows machine (default: 64-bit Windows); --fresh resets the machine to its initial
# state. Without --fresh the machine keeps its state from the last run, like a real one. Ctrl-C stops a run that
# waits (the rotation watch, the shell waits) and still prints the report.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
arch=win64 fresh=0
while [ $# -gt 0 ]; do
    case $1 in
    --win32) arch=win32 ;;
    --fresh) fresh=1 ;;
    *) break ;;
    esac
    shift
done

# shellcheck source=setup.sh
source "$here/setup.sh"
instelix_build >/dev/null

build=$root/build/mingw-x86
prefix=$build/sandbox/$arch
drive_c=$prefix/drive_c
log=$prefix.d/DeviceControl/em9.Log
export WINEPREFIX=$prefix WINEDEBUG=-all
win() { wine "$@" </dev/null >/dev/null 2>&1; }

[ $fresh = 1 ] && { "$root/tools/sandbox/prefix.sh" down "$prefix"; rm -rf "$prefix" "$prefix.d"; }
"$root/tools/sandbox/prefix.sh" up "$prefix" "$arch" >/dev/null
trap '"$root/tools/sandbox/prefix.sh" down "$prefix"' EXIT
if [ ! -f "$prefix/.sandbox-installed" ]; then
    echo "Setting up the sandbox machine ($arch)..."
    win "$build/fixtures/sandbox.exe" install
    touch "$prefix/.sandbox-installed"
fi
mkdir -p "$drive_c/Suite" "$drive_c/sandbox"
cp "$build/Instelix.exe" "$drive_c/Suite/Instelix.exe"

win "$build/fixtures/sandbox.exe" snapshot 'C:\sandbox\before.txt'
log_before=$(stat -c %s "$log" 2>/dev/null || echo 0)
: >"$drive_c/sandbox/journal.txt"

echo "Running C:\\Suite\\Instelix.exe $* on $arch Windows"
INSTELIX_JOURNAL='C:\sandbox\journal.txt' wine 'C:\Suite\Instelix.exe' "$@" </dev/null >/dev/null 2>&1 &
pid=$!
stopped=0
# The shell waits with its wait builtin, which a Ctrl-C interrupts without ending the script; a foreground
# sleep dying of the same Ctrl-C would end it before the report.
trap 'stopped=1; kill -KILL "$pid" 2>/dev/null || true' INT
(
    elapsed=0
    while sleep 5; do
        elapsed=$((elapsed + 5))
        echo "  ... still running after ${elapsed} s (Ctrl-C stops it and prints the report)"
    done
) &
ticker=$!
status=0
while kill -0 "$pid" 2>/dev/null; do
    wait "$pid" && status=0 || status=$?
done
kill "$ticker" 2>/dev/null || true
trap - INT

win "$build/fixtures/sandbox.exe" snapshot 'C:\sandbox\after.txt'
win "$build/fixtures/sandbox.exe" compare 'C:\sandbox\before.txt' 'C:\sandbox\after.txt' 'C:\sandbox\changes.txt'

ending=""
for argument in "$@"; do
    case $argument in
    /POP | /pop | -POP | -pop) ending="/POP: always 0" ;;
    /UPDATEDRIVER | UPDATEDRIVER | -UPDATEDRIVER) ending="/UPDATEDRIVER: 1 = every tool run could be started, 0 = nothing needed or a failure" ;;
    /DELETEDRIVERBYSETTINGS | DELETEDRIVERBYSETTINGS | -DELETEDRIVERBYSETTINGS) ending="/DELETEDRIVERBYSETTINGS: always 0" ;;
    /FLYDRIVER | /flydriver | -FLYDRIVER | -flydriver) ending="/FLYDRIVER: 1 = installed or current, 0 = a failure" ;;
    /INSTALLSVR | /installsvr | -INSTALLSVR | -installsvr) ending="/INSTALLSVR: 1 = executable placed, 0 = a failure (see the log)" ;;
    /setrotationopen | /SETROTATIONOPEN | -setrotationopen | -SETROTATIONOPEN | /setrotationclose | /SETROTATIONCLOSE | -setrotationclose | -SETROTATIONCLOSE)
        ending="$argument: 1 = done, 0 = Ctrl, Shift or Alt held" ;;
    /rotationreg | /ROTATIONREG | -rotationreg | -ROTATIONREG) ending="/rotationreg: 1 = the watch stopped, 0 = the settings key cannot be opened" ;;
    *) continue ;;
    esac
    break
done

echo
echo "== Exit code"
if [ $stopped = 1 ]; then
    echo "(stopped with Ctrl-C; no exit code)"
else
    echo "$status${ending:+  ($ending)}"
    [ -z "$ending" ] && [ "$status" = 0 ] && echo "  (no chore ended the walk, or a reading-mode library was unavailable)"
fi
echo
echo "== Programs started and library calls (in order)"
if [ -s "$drive_c/sandbox/journal.txt" ]; then sed 's/^/  /' "$drive_c/sandbox/journal.txt"; else echo "  none"; fi
echo
echo "== Registry, files and devices changed (+ added, - removed, ~ changed)"
if [ -s "$drive_c/sandbox/changes.txt" ]; then sed 's/^/  /' "$drive_c/sandbox/changes.txt"; else echo "  none"; fi
echo
echo "== New lines in D:\\DeviceControl\\em9.Log"
log_after=$(stat -c %s "$log" 2>/dev/null || echo 0)
if [ "$log_after" -gt "$log_before" ]; then
    tail -c +$((log_before + 1)) "$log" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r' | sed '/^ *$/d; s/^ *//; s/^/  /'
else
    echo "  none"
fi
