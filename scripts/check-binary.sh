#!/usr/bin/env bash
# Checks a built Instelix.exe for what a shipped program needs: 32-bit GUI subsystem, ASLR and DEP, no section
# both writable and executable, only system DLLs imported, exactly one embedded manifest ("asInvoker", DPI-aware)
# and a version resource.  Usage: check-binary.sh [--runtime DLL] PROGRAM.EXE   (exit 0: all good; 1: a check failed)
# --runtime allows the one import of a build whose C runtime is a DLL (ucrtbase.dll for the Visual Studio way).
set -uo pipefail
runtime='msvcrt\.dll'
if [ "${1:-}" = --runtime ]; then
    runtime=${2//./\\.}
    shift 2
fi
exe=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
headers=$("$objdump" -p "$exe" 2>/dev/null) || { echo "$exe: not a readable PE file"; exit 1; }
failed=0
fail() { echo "$exe: $*"; failed=1; }

grep -q 'file format pei-i386' <<<"$("$objdump" -f "$exe")" || fail "not a 32-bit Windows program"
grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a GUI-subsystem program"
characteristics=$((16#$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")))
((characteristics & 0x40)) || fail "DYNAMIC_BASE (ASLR) missing"
((characteristics & 0x100)) || fail "NX_COMPAT (DEP) missing"

# objdump -h gives each section's flags on the line after its name; CODE without READONLY is writable code.
wx=$("$objdump" -h "$exe" | awk '/^ +[0-9]+ /{name=$2; next} /CODE/ && !/READONLY/ {print name}')
[ -z "$wx" ] || fail "writable and executable section(s): $wx"

allowed="^((KERNEL32|USER32|ADVAPI32|SHELL32|SHLWAPI|SETUPAPI)\\.dll|$runtime)\$"
for dll in $(awk '/DLL Name:/ {print $3}' <<<"$headers"); do
    grep -qiE "$allowed" <<<"$dll" || fail "imports a non-system DLL: $dll"
done

# One line per resource, its type first. objdump -p is no help here: its walk of the resource tree stops after the
# first type when that type's data does not come first in the section, as lld-link lays it out.
resources=$("${READOBJ:-llvm-readobj}" --coff-resources "$exe" |
    awk '/^  Type: / {type=$2} /^      Language: / {print type}')
grep -qx VERSIONINFO <<<"$resources" || fail "no version resource"
manifests=$(grep -cx MANIFEST <<<"$resources")
[ "$manifests" -gt 0 ] || fail "no manifest resource"
[ "$manifests" -le 1 ] || fail "more than one manifest resource ($manifests)"
manifest=$("${STRINGS:-i686-w64-mingw32-strings}" -n 8 "$exe")
grep -q 'level="asInvoker"' <<<"$manifest" || fail "manifest does not ask for asInvoker"
grep -q '>true</dpiAware>' <<<"$manifest" || fail "manifest does not declare DPI awareness"
exit $failed
