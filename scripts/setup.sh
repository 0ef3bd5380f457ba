#!/usr/bin/env bash
# Installs what building and running Instelix on Debian needs, without asking; does nothing when all is there.
# Sourced by the other scripts; also runnable by itself.
set -euo pipefail

# clang-tools, lld, llvm and libwine-dev serve the checks of the Visual Studio build: clang-cl reads the sources
# against Wine's Windows headers, llvm-rc and lld-link build the resources as rc.exe and link.exe would. nsis and wixl
# build the installers of the callers' guide.
instelix_packages=(cmake make g++-mingw-w64-i686-posix clang clang-format clang-tools googletest lld llvm libwine-dev
                   nsis wixl wine wine64 wine32:i386 wine32-preloader:i386 wine64-preloader)
# Seconds between the two tries of apt-get update; a mirror in the middle of a sync often has it done by then.
instelix_update_delay=${INSTELIX_UPDATE_DELAY:-5}
instelix_updated=0

instelix_missing_packages() {
    local p
    for p in "${instelix_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

instelix_as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# instelix_apt OUTPUT ARGUMENT...: runs apt-get with its whole output in the file OUTPUT; returns apt's status.
instelix_apt() {
    local output=$1
    shift
    instelix_as_root env DEBIAN_FRONTEND=noninteractive apt-get "$@" >"$output" 2>&1 </dev/null
}

# apt's first or last error line (WHICH is -m1 or -1) in the file, or its last line when it wrote no error line.
instelix_apt_error() {
    local line
    if [ "$1" = -m1 ]; then
        line=$(grep -m 1 '^E: ' "$2" || true)
    else
        line=$(grep '^E: ' "$2" | tail -n 1 || true)
    fi
    [ -n "$line" ] || line=$(tail -n 1 "$2")
    echo "$line"
}

# A mirror that is syncing can fail one index; apt then ignores that index and exits 100. That is a warning here:
# one more try after a pause, then on with what apt has.
instelix_update() {
    local output
    [ $instelix_updated = 1 ] && return 0
    instelix_updated=1
    output=$(mktemp)
    if ! instelix_apt "$output" update; then
        sleep "$instelix_update_delay"
        if ! instelix_apt "$output" update; then
            echo "setup: apt-get update could not fetch every index, going on with what it has:" \
                "$(instelix_apt_error -m1 "$output")" >&2
        fi
    fi
    rm -f "$output"
}

# Installs the packages named, never removing, downgrading or taking unauthenticated ones. When the newest versions
# cannot be put together (a lagging mirror shows the security suite's amd64 libraries but not their i386 twins,
# which Multi-Arch packages need at equal versions), it tries once more preferring the release's own suite.
# Fails with one message naming the step, the packages and apt's last error line.
instelix_install() {
    local options=(-y -q --no-install-recommends --no-remove)
    local output codename status=0 step="apt-get install"
    [ $# -gt 0 ] || return 0
    echo "setup: installing$(printf ' %s' "$@")" >&2
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        instelix_as_root dpkg --add-architecture i386
    fi
    instelix_update
    output=$(mktemp)
    instelix_apt "$output" install "${options[@]}" "$@" || status=$?
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ $status != 0 ] && [ -n "$codename" ] && grep -q -e 'unmet dependencies' -e 'held broken packages' "$output"
    then
        echo "setup: the newest versions do not fit together; trying again with $codename's own suite preferred" >&2
        options+=(-t "$codename")
        step="apt-get install -t $codename"
        status=0
        instelix_apt "$output" install "${options[@]}" "$@" || status=$?
    fi
    if [ $status != 0 ]; then
        echo "setup: $step failed for$(printf ' %s' "$@"): $(instelix_apt_error -1 "$output")" >&2
    fi
    rm -f "$output"
    return $status
}

# Some kernels run no 32-bit Linux programs; Wine's 32-bit loader then runs under qemu's user-mode emulation.
instelix_ensure_i386_exec() {
    /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
    [ -x /usr/bin/qemu-i386-static ] || instelix_install qemu-user-static
    [ -e /proc/sys/fs/binfmt_misc/register ] || instelix_as_root mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
            instelix_as_root tee /proc/sys/fs/binfmt_misc/register >/dev/null
    fi
    /usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "setup: 32-bit Wine cannot run on this machine" >&2; return 1; }
}

instelix_setup() {
    local missing
    missing=$(instelix_missing_packages)
    # shellcheck disable=SC2086
    instelix_install $missing
    instelix_ensure_i386_exec
}

# Sets the machine up first, so that every script needs only this.
instelix_build() {
    instelix_setup
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    (cd "$root" && cmake --preset mingw-x86 >/dev/null && cmake --build --preset mingw-x86 -j "$(nproc)")
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    instelix_setup
fi
