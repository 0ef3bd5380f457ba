#!/usr/bin/env bash
# Builds a resource script as the Visual Studio build does, rc.exe then link.exe, with llvm-rc and lld-link, and
# holds the program to the shipped-binary checks.
#   link-resources.sh RC [LINK OPTION...]
# The tools come from CLANG_CL, LLVM_RC, LLD_LINK and READOBJ, Windows headers from WINE_INCLUDE.
set -euo pipefail
rc=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$(dirname "$0")/rc.sh" "$rc" "$work/program.res"
# No C runtime: an entry point that returns is all a program needs to be linked and checked.
echo 'int entry(void) { return 0; }' >"$work/entry.c"
"$CLANG_CL" --target=i686-pc-windows-msvc /nologo /c /GS- "/Fo$work/entry.obj" -- "$work/entry.c"
"$LLD_LINK" /nologo /machine:x86 /subsystem:windows /entry:entry /nodefaultlib "$@" "$work/entry.obj" \
    "$work/program.res" "/out:$work/program.exe"
READOBJ=$READOBJ "$(dirname "$0")/../../scripts/check-binary.sh" "$work/program.exe"
