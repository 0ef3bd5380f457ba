#!/usr/bin/env bash
# Boots and stops a stand-in Windows machine (a Wine prefix): the sandbox of scripts/try.sh and scripts/bench.sh, and
# each machine the tests run in.
#   prefix.sh up DIR win64|win32   boot DIR once (later runs reuse it), start its server and services
#   prefix.sh down DIR             stop DIR's server
#   prefix.sh restart DIR          end every program of DIR, then start its server and services again
# Wine's background processes inherit the output of whoever starts them, so everything here is detached and
# silenced: otherwise ctest would wait for ever on their pipes. Every Wine step has a time limit: a step that
# overruns has the machine booted again from scratch, up to three times (under qemu a boot can stall at random),
# and then fails naming the step.
set -euo pipefail
action=$1 dir=$(realpath -m "$2")
export WINEPREFIX=$dir WINEDEBUG=-all
retried=0

# step SECONDS [maybe] COMMAND...: with "maybe", the command's own failure is no error.
step() {
    local limit=$1 may_fail=0 status=0 pid
    shift
    [ "$1" = maybe ] && { may_fail=1; shift; }
    timeout -k 5 "$limit" setsid "$@" </dev/null >/dev/null 2>&1 || status=$?
    if [ $status = 124 ] || [ $status = 137 ]; then
        # timeout ends the step alone; its server and programs stay, and a hung program can outlive the server.
        timeout -k 5 30 wineserver -k </dev/null >/dev/null 2>&1 || true
        for pid in $(grep -lzxF "WINEPREFIX=$dir" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true); do
            if readlink "/proc/$pid/exe" | grep -qe /wine -e /qemu-i386; then kill -KILL "$pid" 2>/dev/null || true; fi
        done
        rm -rf "$dir"
        local hung="prefix.sh: booting $WINEARCH: '$*' did not finish within $limit s"
        [ $retried -lt 3 ] || { echo "$hung (after three retries)" >&2; exit 1; }
        echo "$hung; booting again from scratch" >&2
        retried=$((retried + 1))
        up
        exit 0
    fi
    [ $status = 0 ] || [ $may_fail = 1 ] || { echo "prefix.sh: booting $WINEARCH: '$*' failed ($status)" >&2; exit 1; }
}

up() {
    # Bump when the boot steps change, so that kept prefixes are booted again.
    local stamp="$WINEARCH 2" view sys32
    if [ ! -f "$dir/.instelix-booted" ] || [ "$(cat "$dir/.instelix-booted")" != "$stamp" ]; then
        step 30 maybe wineserver -k
        rm -rf "$dir"
        mkdir -p "$(dirname "$dir")"
        # Without the .NET and HTML engines' installers, which only slow the boot and can stall it with no display.
        WINEDLLOVERRIDES="mscoree,mshtml=" step 120 wineboot -i
        # A crashing program must end instead of waiting for a debugger that nobody will use.
        for view in 32 64; do
            [ "$WINEARCH" = win32 ] && [ $view = 64 ] && continue
            step 60 maybe wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
                /reg:$view
        done
        step 60 wineserver -w
        echo "$stamp" >"$dir/.instelix-booted"
    fi
    # Real Windows has these folders; a fresh Wine prefix lacks them in the 32-bit system folder.
    sys32=$dir/drive_c/windows/system32
    [ "$WINEARCH" = win64 ] && sys32=$dir/drive_c/windows/syswow64
    mkdir -p "$sys32/drivers/UMDF"
    # Drive D: is a folder of this build; tests create and remove "D:\DeviceControl" themselves.
    mkdir -p "$dir.d"
    ln -sfn "$dir.d" "$dir/dosdevices/d:"
    step 30 maybe wineserver -p  # already running: keep it
    step 60 wine cmd /c exit 0
    echo "prefix $WINEARCH ready at $dir"
}

case $action in
up) export WINEARCH=$3; up ;;
down) timeout -k 5 30 wineserver -k 2>/dev/null || true ;;
restart)
    timeout -k 5 30 wineserver -k </dev/null >/dev/null 2>&1 || true
    # The machine keeps the architecture it was booted with.
    WINEARCH=$(cut -d' ' -f1 "$dir/.instelix-booted") && export WINEARCH
    up
    ;;
*) echo "usage: prefix.sh up DIR ARCH | down DIR | restart DIR" >&2; exit 2 ;;
esac
