#!/usr/bin/env bash
# Installs what building and running Instelix on Debian needs, without asking; does nothing when all is there.
# Sourced by the other scripts; also runnable by itself.
set -euo pipefail

instelix_packages=(cmake make g++-mingw-w64-i686-posix clang clang-format googletest wine wine64 wine32:i386
                   wine32-preloader:i386 wine64-preloader)

instelix_missing_packages() {
    local p
    for p in "${instelix_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

instelix_as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Some kernels run no 32-bit Linux programs; Wine's 32-bit loader then runs under qemu's user-mode emulation.
instelix_ensure_i386_exec() {
    /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
    [ -x /usr/bin/qemu-i386-static ] || {
        instelix_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
            qemu-user-static >/dev/null
    }
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
    if [ -n "$missing" ]; then
        echo "setup: installing$(printf ' %s' $missing)" >&2
        dpkg --print-foreign-architectures | grep -qx i386 || instelix_as_root dpkg --add-architecture i386
        instelix_as_root apt-get update -qq
        # shellcheck disable=SC2086
        instelix_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
    fi
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
