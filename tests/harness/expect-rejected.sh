#!/usr/bin/env bash
# Passes when CHECKER rejects PROGRAM and reports exactly one line for each REASON, each naming it.
#   expect-rejected.sh CHECKER PROGRAM REASON...
set -uo pipefail
checker=$1 program=$2
shift 2
output=$("$checker" "$program")
rc=$?
echo "$output"
[ "$rc" = 1 ] || { echo "the checker did not reject $program (exit $rc)"; exit 1; }
for reason in "$@"; do
    grep -qF -- "$reason" <<<"$output" || { echo "the checker did not report: $reason"; exit 1; }
done
lines=$(grep -c . <<<"$output")
[ "$lines" = $# ] || { echo "expected $# complaint(s), got $lines"; exit 1; }
