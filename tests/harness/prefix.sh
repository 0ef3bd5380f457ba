#!/usr/bin/env bash
# Owns the stand-in Windows machines of one build folder.
#   prefix.sh up DIR win64|win32   boot DIR once (later runs reuse it), start its server and services
#   prefix.sh down DIR             stop DIR's server
# Wine's background processes inherit the output of whoever starts them, so everything here is detached and
# silenced: otherwise ctest would wait for ever on their pipes.
set -euo pipefail
action=$1 dir=$(realpath -m "$2")
export WINEPREFIX=$dir WINEDEBUG=-all

detached() { setsid "$@" </dev/null >/dev/null 2>&1; }

case $action in
up)
    export WINEARCH=$3
    # Bump when the boot steps change, so that kept prefixes are booted again.
    stamp="$WINEARCH 2"
    if [ ! -f "$dir/.instelix-booted" ] || [ "$(cat "$dir/.instelix-booted")" != "$stamp" ]; then
        wineserver -k 2>/dev/null || true
        rm -rf "$dir"
        mkdir -p "$(dirname "$dir")"
        detached wineboot -i
        # A crashing program must end instead of waiting for a debugger that nobody will use.
        for view in 32 64; do
            [ "$WINEARCH" = win32 ] && [ $view = 64 ] && continue
            detached wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
                /reg:$view || true
        done
        detached wineserver -w
        echo "$stamp" >"$dir/.instelix-booted"
    fi
    # Real Windows has these folders; a fresh Wine prefix lacks them in the 32-bit system folder.
    sys32=$dir/drive_c/windows/system32
    [ "$WINEARCH" = win64 ] && sys32=$dir/drive_c/windows/syswow64
    mkdir -p "$sys32/drivers/UMDF"
    # Drive D: is a folder of this build; tests create and remove "D:\DeviceControl" themselves.
    mkdir -p "$dir.d"
    ln -sfn "$dir.d" "$dir/dosdevices/d:"
    detached wineserver -p || true  # already running: keep it
    detached wine cmd /c exit 0
    echo "prefix $WINEARCH ready at $dir"
    ;;
down)
    wineserver -k 2>/dev/null || true
    ;;
*)
    echo "usage: prefix.sh up DIR ARCH | down DIR" >&2
    exit 2
    ;;
esac
