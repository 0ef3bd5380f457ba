#!/usr/bin/env bash
# Runs a Windows program of cases in the stand-in machine DIR, each case and the whole run within a limit:
#   wine-run.sh gtest|cases DIR NATIVE/EMULATED PROGRAM [ARGS...]
# "gtest" is a GoogleTest program, "cases" the sandbox tool's check of a case file. The cases that finish may take
# NATIVE seconds in all, or EMULATED where Wine's 32-bit side runs under a user-mode emulator; each case may take 60
# seconds (120 emulated) after the one before it ended, more than a case whose program has to be ended takes. A case
# that overruns is taken as hung: the program is ended with everything else running in DIR, a line names the case, the
# machine is started again and the cases after it run in a new process, up to three hangs. A hung case fails the run.
# Processes the program starts (Wine's own services too) inherit its output and can outlive it: through a pipe they
# would keep whoever reads it (ctest) waiting until the machine stops, so the output goes through files.
set -uo pipefail
kind=$1
WINEPREFIX=$(realpath -m "$2") && export WINEPREFIX WINEDEBUG=-all
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=limits.sh
source "$here/limits.sh"
run_limit=$(wine_limit "${3%/*}" "${3#*/}")
case_limit=$(wine_limit 60 120)
program=$4
shift 4
arguments=()
positive="*"
negative=""
for argument in "$@"; do
    case $argument in
    --gtest_filter=*)
        positive=${argument#--gtest_filter=}
        if [ "${positive#*-}" != "$positive" ]; then
            negative=${positive#*-}
            positive=${positive%%-*}
        fi
        ;;
    *) arguments+=("$argument") ;;
    esac
done
work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
log=$work/log
: >"$log"
say() { echo "wine-run.sh: $*" >>"$log"; }

# The verdict lines of OUTPUT; for GoogleTest, the names of the cases they give.
verdicts() {
    if [ "$kind" = gtest ]; then
        sed -n 's/^\[ *\(OK\|FAILED\|SKIPPED\) *\] \([^ ]*\) (.*/\2/p' "$1"
    else
        grep -E '^(ok|FAILED|skipped) ' "$1"
    fi
}

# The GoogleTest case that started last in OUTPUT and gave no verdict; nothing when none did.
running_test() {
    local name
    name=$(tr -d '\r' <"$1" | sed -n 's/^\[ RUN      \] //p' | tail -n 1)
    verdicts "$1" | grep -qxF "$name" || echo "$name"
}

after=0  # cases: the cases of the file dealt with so far, by number
started=$(date +%s)

# Runs the program once over the cases left: 0 when it passed, 1 when it failed or overran the run's limit, 2 when a
# case hung and the cases after it are still to run.
run_once() {
    local output extra=() seen=0 count since now pid hung reported=0
    output=$work/out.$(date +%s%N)
    if [ "$kind" = cases ] && [ $after -gt 0 ]; then
        # The tool's first verdict is then the one of the case ended before.
        extra=(--after "$after")
        reported=1
    elif [ "$kind" = gtest ] && [ "$positive$negative" != "*" ]; then
        extra=("--gtest_filter=$positive${negative:+-$negative}")
    fi
    wine "$program" "${arguments[@]}" "${extra[@]}" </dev/null >"$output" 2>&1 &
    pid=$!
    since=$(date +%s)
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        now=$(date +%s)
        count=$(verdicts "$output" | wc -l)
        if [ "$count" != "$seen" ]; then
            seen=$count
            since=$now
        fi
        # The run's limit is for the cases that finished, so that a case that stalls is taken as hung.
        [ $((now - since)) -lt "$case_limit" ] && [ $((since - started)) -lt "$run_limit" ] && continue
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        cat "$output" >>"$log"
        if [ "$kind" = gtest ]; then
            hung=$(running_test "$output")
        else
            hung="case $((after + count - reported + 1)) of the file"
        fi
        if [ $((since - started)) -ge "$run_limit" ]; then
            say "the cases took more than $run_limit s; ended during ${hung:-the start of the program}"
            return 1
        fi
        if [ -z "$hung" ]; then
            say "the program stalled outside its cases for $case_limit s; ended"
            return 1
        fi
        say "$hung did not finish within $case_limit s; ended, the cases after it run in a new process"
        if [ "$kind" = gtest ]; then
            negative+=$(verdicts "$output" | sed 's/^/:/' | tr -d '\n'):$hung
            negative=${negative#:}
        else
            after=$((after + count - reported + 1))
        fi
        "$here/../../tools/sandbox/prefix.sh" restart "$WINEPREFIX" >/dev/null
        started=$((started + $(date +%s) - since))
        return 2
    done
    wait "$pid"
    local status=$?
    cat "$output" >>"$log"
    [ $status = 0 ]
}

hangs=0
result=2
while [ $result = 2 ]; do
    if [ $hangs = 3 ]; then
        say "three cases hung: the rest is not run"
        break
    fi
    run_once
    result=$?
    [ $result = 2 ] && hangs=$((hangs + 1))
done
cat "$log"
if [ $hangs -gt 0 ]; then
    echo "wine-run.sh: $hangs case(s) hung"
    exit 1
fi
exit $result
