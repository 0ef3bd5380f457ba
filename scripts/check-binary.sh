#!/usr/bin/env bash
# Checks a built Instelix.exe for what a shipped program needs: 32-bit GUI subsystem, ASLR and DEP, no section
# both writable and executable, only system DLLs imported, the embedded manifest ("asInvoker", DPI-aware) and a
# version resource.  Usage: check-binary.sh PROGRAM.EXE   (exit 0: all good; 1: a check failed)
set -uo pipefail
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

allowed='^(KERNEL32|USER32|ADVAPI32|SHELL32|SHLWAPI|SETUPAPI|msvcrt)\.dll$'
while read -r dll; do
    grep -qiE "$allowed" <<<"$dll" || fail "imports a non-system DLL: $dll"
done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")

# Resource types in the top table: 0x10 is RT_VERSION, 0x18 is RT_MANIFEST.
types=$(sed -n '/Resource Directory section/,$p' <<<"$headers" | awk '/^0[0-9a-f][0-9a-f]   Entry: ID/ {print $4}')
grep -q '0x000010' <<<"$types" || fail "no version resource"
grep -q '0x000018' <<<"$types" || fail "no manifest resource"
manifest=$("${STRINGS:-i686-w64-mingw32-strings}" -n 8 "$exe")
grep -q 'level="asInvoker"' <<<"$manifest" || fail "manifest does not ask for asInvoker"
grep -q '>true</dpiAware>' <<<"$manifest" || fail "manifest does not declare DPI awareness"
exit $failed
