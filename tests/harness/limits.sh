# shellcheck shell=bash
# Time limits that fit the machine. Where the kernel runs no 32-bit programs, qemu's user-mode emulator runs Wine's
# 32-bit side (scripts/setup.sh registers it); the same program then takes two to ten times as long, its start most.

# Whether this machine's 32-bit programs run under the emulator.
wine_emulated() {
    grep -qx enabled /proc/sys/fs/binfmt_misc/status 2>/dev/null &&
        grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null
}

# wine_limit NATIVE EMULATED: the seconds that apply here.
wine_limit() {
    if wine_emulated; then echo "$2"; else echo "$1"; fi
}
