#!/usr/bin/env bash
# Runs a Windows program in the stand-in machine DIR: wine-run.sh DIR PROGRAM [ARGS...]
set -euo pipefail
export WINEPREFIX=$1 WINEDEBUG=-all
shift
exec wine "$@"
