#!/usr/bin/env bash
# The sandbox tool against input it cannot read: an item or a case file that is wrong ends in one line naming the
# item, or the file and line, and what is wrong, with exit code 2, nothing run and the machine as it was. Then a
# "what if" run that can be read, and a waiting run stopped from outside.
#   sandbox-input.sh PREFIX SANDBOX.EXE
set -uo pipefail
export WINEPREFIX
WINEPREFIX=$(realpath -m "$1")
export WINEDEBUG=-all
tool=$2
work=$WINEPREFIX/drive_c/sandbox-input
outside=$(mktemp -d)
trap 'rm -rf --one-file-system "$outside"' EXIT
rm -rf --one-file-system "$work"
mkdir -p "$work"
touch "$outside/victim"
failures=0

# The script's own output, also while a call's output goes to a file.
exec 3>&1
fail() {
    echo "FAIL: $*" >&3
    failures=$((failures + 1))
}
# shellcheck source=harness/limits.sh
source "$(dirname "$0")/harness/limits.sh"
call_limit=$(wine_limit 30 90)
# Each call of the tool within a limit of its own, so that one that hangs is named and the rest still runs.
sandbox() {
    local status=0
    timeout -k 5 "$call_limit" wine "$tool" "$@" </dev/null || status=$?
    if [ $status = 124 ] || [ $status = 137 ]; then
        fail "sandbox $*: did not finish within $call_limit s"
    fi
    return $status
}

# refused EXPECTED-LINE COMMAND...: the command prints EXPECTED-LINE alone and leaves the machine and the journal.
refused() {
    local expected=$1 status=0
    shift
    printf 'marker\n' >"$WINEPREFIX/drive_c/instelix-journal.txt"
    sandbox "$@" >"$work/out" 2>"$work/err" || status=$?
    [ $status = 2 ] || fail "$*: exit code $status, expected 2"
    [ ! -s "$work/out" ] || fail "$*: printed $(head -c 200 "$work/out")"
    [ "$(cat "$work/err")" = "$expected" ] || fail "$*: said '$(cat "$work/err")', expected '$expected'"
    sandbox snapshot 'C:\sandbox-input\after.txt'
    cmp -s "$work/before.txt" "$work/after.txt" || fail "$*: the machine changed"
    [ "$(cat "$WINEPREFIX/drive_c/instelix-journal.txt")" = marker ] || fail "$*: something ran"
}

# item_refused EXPECTED-LINE ITEM...: a run of /INSTALLSVR, which would change the machine, with these items.
item_refused() {
    local expected=$1
    shift
    printf '%s\n' "$@" >"$work/items.txt"
    refused "$expected" run 'C:\sandbox-input\items.txt' /INSTALLSVR
}

# case_refused EXPECTED-LINE LINE...: a case file of these lines, each a case that would change the machine.
case_refused() {
    local expected=$1
    shift
    printf '%s\n' "$@" >"$work/cases.txt"
    refused "$expected" check 'C:\sandbox-input\cases.txt' cases.txt
}

sandbox install
sandbox snapshot 'C:\sandbox-input\before.txt'
key='HKLM\SOFTWARE\Tesmar\Other: Value'
good='C:\Suite\new.txt = text: x'
item_refused "item 'C:\\Suite\\x.txt': expected NAME = VALUE" 'C:\Suite\x.txt'
item_refused "item '$key = REG_QWORD 1': no value kind \"REG_QWORD\" (key, absent, REG_DWORD, REG_SZ, REG_EXPAND_SZ, type N, bytes: ...)" \
    "$key = REG_QWORD 1"
item_refused "item '$key = REG_DWORD 4294967296': REG_DWORD takes a number below 2^32" "$key = REG_DWORD 4294967296"
item_refused "item '$key = type 3, bytes: 1 2': expected \"type N, bytes: 01 02 ...\"" "$key = type 3, bytes: 1 2"
item_refused "item 'C:\\Suite\\a.exe = version one': expected \"version a.b.c.d\"" 'C:\Suite\a.exe = version one'
item_refused "item 'C:\\Suite\\a.dll = library none.dll': no stand-in library \"none.dll\"" \
    'C:\Suite\a.dll = library none.dll'
outside_item="Z:${outside//\//\\}\\victim = absent"
item_refused "item '$outside_item': a path outside the machine's drives C: and D:" "$outside_item"
[ -f "$outside/victim" ] || fail "a file outside the machine was removed"
item_refused "item 'held Z:\\tmp\\x': a path outside the machine's drives C: and D:" "$good" 'held Z:\tmp\x'
item_refused "item 'running Settings.exe = lots': a count from 0 to 8" "$good" 'running Settings.exe = lots'
item_refused "item 'shell Win+O = soon': expected \"N ms\" (up to 60000) or \"off\"" "$good" 'shell Win+O = soon'
item_refused "item 'at 2 s: stop': expected \"at N ms: ITEM\" with N up to 60000" "$good" 'at 2 s: stop'
item_refused "item 'at 9 ms: held Z:\x': a path outside the machine's drives C: and D:" "$good" 'at 9 ms: held Z:\x'

ok='first | both | | /INSTALLSVR | 1'
case_refused "cases.txt:2: 4 fields; a case has 5 to 8 (name | machine | arranged | command line | exit code | changes | journal | log)" \
    "$ok" 'short | both | | /INSTALLSVR'
case_refused "cases.txt:3: nothing defines {NOPE}" '# a comment' "$ok" 'undefined | both | {NOPE} | /INSTALLSVR | 1'
case_refused "cases.txt:2: item 'C:\\Suite\\a.exe = version one': expected \"version a.b.c.d\"" "$ok" \
    'bad item | both | C:\Suite\a.exe = version one | /INSTALLSVR | 1'
case_refused "cases.txt:1: machine \"65\": expected both, 64 or 32, then \"modules\" if the case needs them" \
    'odd machine | 65 | | /INSTALLSVR | 1'
case_refused "cases.txt:1: exit code \"one\": expected a number or \"stopped\"" 'odd exit | both | | /INSTALLSVR | one'
case_refused "cases.txt:1: a continuation without a line before it" '    | both | | /INSTALLSVR | 1'
refused "none.txt: no such file" check 'C:\sandbox-input\none.txt' none.txt
printf '%s\n' 'first | both | | /none | 0' 'second | both | | /none | 0' 'third | both | | /none | 0' >"$work/cases.txt"
refused "--after takes the number of one of the file's 3 cases here" check 'C:\sandbox-input\cases.txt' cases.txt \
    --after 4

# A runner that had to end a case goes on after it: that case is reported as failed, those before it are not run.
sandbox check 'C:\sandbox-input\cases.txt' cases.txt --after 2 >"$work/out" 2>&1
[ "$(cat "$work/out")" = "FAILED  second (cases.txt:2)
  did not finish; the runner ended it
ok      third
1 passed, 1 failed" ] || fail "after a hung case: $(cat "$work/out")"

# A program arranged again in the next case starts as in the first; a list that is empty reads "none"; the cases for
# the other machine are counted.
printf '%s\n' 'first | both | running explorer.exe = 1 | | 0' 'again | both | running explorer.exe = 1 | | 0' \
    'nothing happens | both | | | 0 | + C:\x.txt: 1 bytes' 'elsewhere | 32 | | | 0' >"$work/cases.txt"
sandbox check 'C:\sandbox-input\cases.txt' cases.txt >"$work/out" 2>&1
[ "$(cat "$work/out")" = "ok      first
ok      again
FAILED  nothing happens (cases.txt:3)
  changes expected:
    + C:\x.txt: 1 bytes
  changes seen:
    none
cases for 32-bit Windows only, not run here: 1
2 passed, 1 failed" ] || fail "a case file's report: $(cat "$work/out")"

# What if the installed driver were current: nothing to do. As installed, it is older and is updated.
printf '%s\n' 'C:\Windows\System32\drivers\AcpiQrx.sys = version 3.0.0.0' >"$work/items.txt"
sandbox run 'C:\sandbox-input\items.txt' /UPDATEDRIVER >"$work/out" 2>&1
grep -qxF '  C:\Windows\System32\drivers\AcpiQrx.sys = version 3.0.0.0' "$work/out" || fail "what if: no item shown"
grep -qx '0  (/UPDATEDRIVER: .*)' "$work/out" || fail "what if: $(cat "$work/out")"
sandbox install
: >"$work/items.txt"
sandbox run 'C:\sandbox-input\items.txt' /UPDATEDRIVER >"$work/out" 2>&1
grep -qx '1  (/UPDATEDRIVER: .*)' "$work/out" || fail "as installed: $(cat "$work/out")"

# A run that waits until stopped from outside reports that it was stopped.
sandbox run 'C:\sandbox-input\items.txt' /rotationreg >"$work/out" 2>&1 &
for _ in $(seq 50); do
    sleep 0.2
    sandbox stop && break
done
wait
grep -qxF '(stopped; no exit code)' "$work/out" || fail "stop: $(cat "$work/out")"

sandbox install
rm -rf --one-file-system "$work"
echo "$failures failed"
[ $failures = 0 ]
