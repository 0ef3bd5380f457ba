#!/usr/bin/env bash
# The recipes of docs/callers.md, taken from the guide as they stand, built with the real tools and run in a stand-in
# machine as each caller runs Instelix: an NSIS installer, an MSI (the recommended form installs and runs the chore;
# WiX's default Return="check" rolls the installation back because the chore succeeds), a batch file and the C++
# function. Each places the hotspot service executable (/INSTALLSVR, a first install: exit code 1).
#   callers.sh PREFIX ARCH INSTELIX.EXE STANDIN.EXE GUIDE
set -uo pipefail
export WINEPREFIX
WINEPREFIX=$(realpath -m "$1")
export WINEDEBUG=-all
arch=$2
program=$3
standin=$4
guide=$5
work=$WINEPREFIX/drive_c/callers
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# shellcheck source=harness/limits.sh
source "$(dirname "$0")/harness/limits.sh"
call_limit=$(wine_limit 60 180)
win() {
    timeout -k 5 "$call_limit" wine "$@" </dev/null
}

# The body of the guide's first fenced block of LANGUAGE.
recipe() {
    awk -v fence="\`\`\`$1" '$0 == fence && !done { inside = 1; next } inside && $0 == "```" { inside = 0; done = 1 }
                             inside' "$guide"
}

if [ "$arch" = win64 ]; then
    settings="$WINEPREFIX/drive_c/Program Files (x86)/Tesmar/Tesmar Settings"
    placed=$WINEPREFIX/drive_c/windows/syswow64/TesmarWiFiHotspotSvr.exe
else
    settings="$WINEPREFIX/drive_c/Program Files/Tesmar/Tesmar Settings"
    placed=$WINEPREFIX/drive_c/windows/system32/TesmarWiFiHotspotSvr.exe
fi
service='HKLM\SYSTEM\CurrentControlSet\Services\TesmarWiFiHotspotSvr'

# A machine where the service was never placed; with an argument, the settings folder holds the service executable.
fresh_machine() {
    win reg delete "$service" /f >/dev/null 2>&1
    rm -f "$placed"
    rm -rf --one-file-system "$settings"
    if [ $# -gt 0 ]; then
        mkdir -p "$settings"
        cp "$standin" "$settings/TesmarWiFiHotspotSvr.exe"
    fi
}

# The chore ran: the executable left the settings folder, lies in the system folder and registered itself.
chore_done() {
    [ -f "$placed" ] || fail "$1: the executable is not in the system folder"
    [ ! -f "$settings/TesmarWiFiHotspotSvr.exe" ] || fail "$1: the executable is still in the settings folder"
    win reg query "$service" /v ImagePath 2>/dev/null | grep -q 'TesmarWiFiHotspotSvr.exe' ||
        fail "$1: the service did not register"
}

rm -rf --one-file-system "$work"
mkdir -p "$work"
cp "$program" "$work/Instelix.exe"
cp "$standin" "$work/TesmarWiFiHotspotSvr.exe"

# NSIS: the installer writes down what ExecWait gave it.
{
    printf '%s\n' 'Unicode true' 'Name "Callers"' 'OutFile "setup.exe"' 'RequestExecutionLevel admin'
    recipe nsis
    printf '%s\n' 'Section "-report"' '  FileOpen $1 "C:\callers\nsis-exit.txt" w' '  FileWrite $1 "$0"' \
        '  FileClose $1' 'SectionEnd'
} >"$work/setup.nsi"
fresh_machine
if (cd "$work" && makensis -V2 setup.nsi >makensis.log 2>&1); then
    win 'C:\callers\setup.exe' /S
    [ "$(cat "$work/nsis-exit.txt" 2>/dev/null)" = 1 ] || fail "NSIS: ExecWait gave '$(cat "$work/nsis-exit.txt")'"
    chore_done NSIS
else
    fail "NSIS: makensis: $(tail -n 3 "$work/makensis.log")"
fi

# WiX: the form the guide recommends, and the same with the default Return="check".
recipe xml >"$work/product.wxs"
sed 's/Return="ignore"/Return="check"/' "$work/product.wxs" >"$work/check.wxs"
cmp -s "$work/product.wxs" "$work/check.wxs" && fail "WiX: the recipe has no Return=\"ignore\""
for form in check product; do
    (cd "$work" && wixl -a x86 -o "$form.msi" "$form.wxs") || fail "WiX: wixl cannot build $form.msi"
done
fresh_machine
status=0
win msiexec /i 'C:\callers\check.msi' /qn || status=$?
[ $status != 0 ] || fail "WiX, Return=\"check\": msiexec reported success"
[ ! -f "$settings/Instelix.exe" ] || fail "WiX, Return=\"check\": the installation was not rolled back"
fresh_machine
status=0
win msiexec /i 'C:\callers\product.msi' /qn || status=$?
[ $status = 0 ] || fail "WiX, Return=\"ignore\": msiexec exit code $status"
[ -f "$settings/Instelix.exe" ] || fail "WiX, Return=\"ignore\": Instelix is not installed"
chore_done "WiX, Return=\"ignore\""
win msiexec /x 'C:\callers\product.msi' /qn || fail "WiX: the product cannot be removed"

# The batch file beside the program, with Windows line ends.
recipe bat | sed 's/$/\r/' >"$work/run.cmd"
fresh_machine with-service
said=$(win cmd /c 'C:\callers\run.cmd' | tr -d '\r')
[ "$said" = "The hotspot service executable is in place" ] || fail "batch: said '$said'"
chore_done batch

# C++: the function compiled as it stands, called by a program that prints what it returns.
{
    recipe cpp
    printf '%s\n' '#include <stdio.h>' 'int main()' '{' \
        '    printf("%ld\n", RunInstelix(L"C:\\callers\\none.exe", L"/INSTALLSVR"));' \
        '    printf("%ld\n", RunInstelix(L"C:\\callers\\Instelix.exe", L"/INSTALLSVR"));' '}'
} >"$work/caller.cpp"
fresh_machine with-service
if i686-w64-mingw32-g++ -std=c++17 -Wall -Wextra -Werror -static -o "$work/caller.exe" "$work/caller.cpp" \
    2>"$work/compile.log"; then
    said=$(win 'C:\callers\caller.exe' | tr -d '\r' | paste -sd ' ')
    [ "$said" = "-1 1" ] || fail "C++: returned '$said' (a missing program, then the chore)"
    chore_done C++
else
    fail "C++: $(head -n 5 "$work/compile.log")"
fi

fresh_machine
rm -rf --one-file-system "$work"
echo "$failures failed"
[ $failures = 0 ]
