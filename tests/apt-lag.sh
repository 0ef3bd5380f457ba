#!/usr/bin/env bash
# The set-up's installs against a stand-in apt-get that fails the way a lagging mirror does: an index that cannot be
# fetched, and Multi-Arch twins that only the release's own suite has at equal versions.
set -uo pipefail
setup=$(cd "$(dirname "$0")/../scripts" && pwd)/setup.sh
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT

# The stand-in apt-get journals every call. APT_UPDATE_FAILURES updates fail before one succeeds; APT_INSTALL says
# how installs end: ok, lagging (fails unless -t is given), broken (always unmet dependencies), unknown (no package).
cat >"$bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "$*" >>"$APT_JOURNAL"
if [ "$1" = update ]; then
    count=$(grep -c '^update' "$APT_JOURNAL")
    [ "$count" -gt "$APT_UPDATE_FAILURES" ] && exit 0
    echo "Err:6 http://mirror.invalid/debian-security bookworm-security/main i386 Packages"
    echo "$APT_FETCH_ERROR"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
fi
case $APT_INSTALL in
ok) exit 0 ;;
lagging) [[ " $* " == *" -t "* ]] && exit 0 ;;
unknown) echo "E: Unable to locate package b"; exit 100 ;;
esac
echo "The following packages have unmet dependencies:"
echo " libwine:i386 : Depends: libssl3:i386 (>= 3.0.0) but it is not going to be installed"
echo "E: Unable to correct problems, you have held broken packages."
exit 100
STANDIN
printf '#!/bin/sh\necho i386\n' >"$bin/dpkg"
printf '#!/bin/sh\necho "install ok installed"\n' >"$bin/dpkg-query"
chmod +x "$bin"/*

install="install -y -q --no-install-recommends --no-remove"
fetch="E: Failed to fetch http://mirror.invalid/Packages.xz  File has unexpected size (374820 != 376004)."
fetch+=" Mirror sync in progress?"
failures=0
# check NAME UPDATE_FAILURES INSTALL COMMAND STATUS JOURNAL MESSAGES: runs COMMAND in a shell that sourced the set-up.
check() {
    local name=$1 journal=$bin/journal.txt
    : >"$journal"
    local messages status
    messages=$(PATH="$bin:$PATH" APT_JOURNAL=$journal APT_UPDATE_FAILURES=$2 APT_INSTALL=$3 APT_FETCH_ERROR=$fetch \
        INSTELIX_UPDATE_DELAY=0 bash -c "source '$setup'; instelix_as_root() { \"\$@\"; }; $4" 2>&1)
    status=$?
    if [ "$status" != "$5" ] || [ "$(cat "$journal")" != "$6" ] || [ "$messages" != "$7" ]; then
        printf 'FAILED %s\n  status %s, expected %s\n' "$name" "$status" "$5"
        printf '  apt calls:\n%s\n  expected:\n%s\n' "$(cat "$journal")" "$6"
        printf '  messages:\n%s\n  expected:\n%s\n' "$messages" "$7"
        failures=$((failures + 1))
    fi
}

check "a lagging mirror: update tried twice, install again with the release's suite preferred" 2 lagging \
    "instelix_install a b:i386" 0 "update
update
$install a b:i386
$install -t $codename a b:i386" "setup: installing a b:i386
setup: apt-get update could not fetch every index, going on with what it has: $fetch
setup: the newest versions do not fit together; trying again with $codename's own suite preferred"
check "a mirror that has caught up by the second update" 1 ok "instelix_install a b:i386" 0 "update
update
$install a b:i386" "setup: installing a b:i386"
check "dependencies that no suite mends: one message" 0 broken "instelix_install a b:i386" 100 "update
$install a b:i386
$install -t $codename a b:i386" "setup: installing a b:i386
setup: the newest versions do not fit together; trying again with $codename's own suite preferred
setup: apt-get install -t $codename failed for a b:i386: E: Unable to correct problems, you have held broken packages."
check "an unknown package is not retried" 0 unknown "instelix_install a b:i386" 100 "update
$install a b:i386" "setup: installing a b:i386
setup: apt-get install failed for a b:i386: E: Unable to locate package b"
check "everything installed: apt is not called" 0 ok 'instelix_install $(instelix_missing_packages)' 0 "" ""

echo "$((5 - failures)) passed, $failures failed"
[ $failures = 0 ]
