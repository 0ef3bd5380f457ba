#!/usr/bin/env bash
# Measures Instelix.exe under Wine and prints plain-text tables: start-to-exit time against an empty program built
# the same way, size and peak working set, each chore's time beyond the waits it is required to make, and the cost
# of one skipped argument and of one log line.
#   scripts/bench.sh [--runs N] [--win64 | --win32] [--skip-long]
# Both stand-in machines are measured unless one is named; each is a sandbox machine with the suite installed, as
# in scripts/try.sh, kept under build/mingw-x86/bench, run on one CPU and stopped at the end. Every row is run N times (default 31)
# by bench/benchrun.exe inside the machine, the rows taking turns. --skip-long leaves out the usage-mode chore that
# waits 10 s for the desktop shell (otherwise run once).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
runs=31 machines="win64 win32" long=1
while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=$2; shift ;;
    --win64 | --win32) machines=${1#--} ;;
    --skip-long) long=0 ;;
    *) echo "usage: scripts/bench.sh [--runs N] [--win64 | --win32] [--skip-long]" >&2; exit 2 ;;
    esac
    shift
done

# shellcheck source=setup.sh
source "$here/setup.sh"
instelix_build >/dev/null

build=$root/build/mingw-x86
walk_arguments=8000 log_lines=1000
export WINEDEBUG=-all
# Everything measured runs on one CPU, the first this script may use. Spread over two virtual CPUs, about half the
# program starts paid 20 to 30 ms more, at random, waiting for the other CPU to wake: far more than the
# differences measured here.
cpu=$(taskset -pc $$ | sed 's/.*: //; s/[,-].*//')
pin="taskset -c $cpu"

windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

# One plan line: key (how bench/report.awk reads the row), repetitions, memory runs, command run untimed before
# each run, command line.
plan_line() { printf '%s\t%s\t%s\t%s\t%s\n' "$@"; }

write_plan() {
    local arch=$1 program_files tool inf
    if [ "$arch" = win64 ]; then
        program_files='C:\Program Files (x86)' tool=DPInst.exe inf='C:\Suite\.\x64\WUDFVhidmini.Inf'
    else
        program_files='C:\Program Files' tool=wdreg.exe inf='C:\Suite\.\x86\WUDFVhidmini.Inf'
    fi
    local instelix='"C:\Suite\Instelix.exe"' reset
    reset="\"$(windows_path "$build/fixtures/sandbox.exe")\" install"

    plan_line 'start|empty.exe (yardstick)' "$runs" 5 '' '"C:\Suite\empty.exe"'
    plan_line "start|empty.exe with Instelix's imports" "$runs" 5 '' '"C:\Suite\empty_imports.exe"'
    plan_line 'start|Instelix.exe' "$runs" 5 '' "$instelix"
    plan_line 'start|Instelix.exe /nosuchswitch' "$runs" 5 '' "$instelix /nosuchswitch"

    # The programs the chores start and wait for, timed by themselves: their time is a wait the chore must make.
    plan_line 'child|driver tool' "$runs" 0 '' "\"C:\\Program Files\\Tesmar\\Orvane Tuner\\bin\\$tool\""
    plan_line 'child|toast program' "$runs" 0 '' "\"$program_files\\Tesmar\\Tesmar Settings\\PopToastProcess.exe\""
    plan_line 'child|devcon remove' "$runs" 0 '' '"C:\Suite\.\devcon.exe" remove root\TesmarVhid'
    plan_line 'child|devcon install' "$runs" 0 '' "\"C:\\Suite\\.\\devcon.exe\" install \"$inf\" \"root\\TesmarVhid\""

    # The refresh replaces the registered executable, so the machine is set up again before each run. No service
    # process runs: the three process-ending passes each end with their 220 ms pause.
    plan_line 'chore|/INSTALLSVR (refresh, service stopped)|1260|' "$runs" 0 "$reset" "$instelix /INSTALLSVR"
    plan_line "chore|/UPDATEDRIVER (remove, install)|0|driver tool,driver tool" "$runs" 0 '' "$instelix /UPDATEDRIVER"
    plan_line 'chore|/FLYDRIVER (remove, install)|200|devcon remove,devcon install' "$runs" 0 '' \
        "$instelix /FLYDRIVER"
    plan_line 'chore|/DELETEDRIVERBYSETTINGS (settings kept)|0|' "$runs" 0 '' "$instelix /DELETEDRIVERBYSETTINGS"
    plan_line 'chore|/POP|0|toast program' "$runs" 0 '' "$instelix /POP"
    plan_line 'chore|/setrotationopen|0|' "$runs" 0 '' "$instelix /setrotationopen"
    plan_line 'chore|/setrotationclose|0|' "$runs" 0 '' "$instelix /setrotationclose"
    local switch
    for switch in /fviewon /fviewget /fviewoff /issupportfview; do
        plan_line "chore|$switch|0|" "$runs" 0 '' "$instelix $switch"
    done
    plan_line 'chore|/fviewwait (shell running)|0|' "$runs" 0 '' "$instelix /fviewwait"
    plan_line 'chore|/qmxnor|0|' "$runs" 0 '' "$instelix /qmxnor"
    [ $long = 1 ] && plan_line 'chore|/qmxwaitnor (shell running)|10000|' 1 0 '' "$instelix /qmxwaitnor"
    plan_line 'chore|/closesettings (settings not running)|0|' "$runs" 0 '' "$instelix /closesettings"

    plan_line 'walk' "$runs" 0 '' "$instelix$(printf ' /nx%.0s' $(seq "$walk_arguments"))"
    plan_line 'log0' "$runs" 0 '' '"C:\Suite\logbench.exe" 0'
    plan_line 'log' "$runs" 0 '' "\"C:\\Suite\\logbench.exe\" $log_lines"
}

report() {
    local arch=$1 results=$2 bits=64
    [ "$arch" = win32 ] && bits=32
    awk -v machine="$bits-bit Windows machine under $(wine --version)" -v runs="$runs" \
        -v size="$(stat -c %s "$build/Instelix.exe")" -v empty_size="$(stat -c %s "$build/bench/empty.exe")" \
        -v walk_arguments="$walk_arguments" -v log_lines="$log_lines" -f "$root/bench/report.awk" "$results"
}

bench_machine() {
    local arch=$1 prefix=$build/bench/$1
    local drive_c=$prefix/drive_c
    export WINEPREFIX=$prefix
    # The machine's server and services start here, so that they run on the one CPU too.
    "$root/tools/sandbox/prefix.sh" down "$prefix"
    $pin "$root/tools/sandbox/prefix.sh" up "$prefix" "$arch" >/dev/null
    trap '"$root/tools/sandbox/prefix.sh" down "$prefix"' EXIT
    wine "$build/fixtures/sandbox.exe" install </dev/null >/dev/null 2>&1
    mkdir -p "$drive_c/Suite" "$drive_c/bench"
    cp "$build/Instelix.exe" "$build/bench/empty.exe" "$build/bench/empty_imports.exe" "$build/bench/logbench.exe" \
        "$drive_c/Suite/"
    rm -f "$prefix.d/DeviceControl/em9.Log"
    write_plan "$arch" >"$drive_c/bench/plan.txt"
    echo "Measuring on the $arch machine..." >&2
    # The chores that wait for the desktop shell find this stand-in at once: Wine starts its own shell only while
    # some program uses the desktop.
    mkdir -p "$drive_c/bench/shell"
    cp "$build/fixtures/standin.exe" "$drive_c/bench/shell/explorer.exe"
    $pin wine "$build/bench/benchrun.exe" 'C:\bench\plan.txt' 'C:\bench\results.txt' \
        '"C:\bench\shell\explorer.exe" --linger' </dev/null >/dev/null 2>&1 ||
        { echo "bench: benchrun failed on $arch" >&2; return 1; }
    "$root/tools/sandbox/prefix.sh" down "$prefix"
    trap - EXIT
    report "$arch" "$drive_c/bench/results.txt"
}

first=1
for arch in $machines; do
    [ $first = 1 ] || echo
    first=0
    bench_machine "$arch"
done
