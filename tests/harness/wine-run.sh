#!/usr/bin/env bash
# Runs a Windows program in the stand-in machine DIR: wine-run.sh DIR PROGRAM [ARGS...]
# Processes the program starts (Wine's own services too) inherit its output and can outlive it: through a pipe they
# would keep whoever reads it (ctest) waiting until the machine stops, so the output goes through a file.
set -uo pipefail
WINEPREFIX=$(realpath -m "$1") && export WINEPREFIX WINEDEBUG=-all
shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
exit $rc
