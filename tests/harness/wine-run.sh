#!/usr/bin/env bash
# Runs a Windows program in the stand-in machine DIR: wine-run.sh DIR PROGRAM [ARGS...]
# Every process that the program starts, Wine's own desktop and services included when they start on demand,
# inherits its output. Such a process can outlive the program, so the output goes through a file: a pipe would
# keep whoever reads it (ctest) waiting until the machine is stopped.
set -uo pipefail
export WINEPREFIX WINEDEBUG=-all
WINEPREFIX=$(realpath -m "$1")
shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
exit $rc
