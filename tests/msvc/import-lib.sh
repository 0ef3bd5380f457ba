#!/usr/bin/env bash
# Makes an import library for lld-link from MinGW's: MinGW's are GNU dlltool archives, whose objects lld-link refuses
# under /SAFESEH, the default for a 32-bit program; llvm-dlltool writes the short import objects link.exe reads.
#   import-lib.sh NAME OUTPUT.lib   (NAME: kernel32 for MinGW's libkernel32.a and kernel32.dll)
# The tools come from LLVM_NM and LLVM_DLLTOOL; MinGW's libraries from MINGW_LIB.
set -euo pipefail
name=$1
output=$2
definitions=$output.def
{
    echo "LIBRARY $name.dll"
    echo EXPORTS
    # Each import's __imp_ symbol names it as the program calls it: the C prefix "_", then the name with its
    # stdcall "@N", which -k drops from the name imported.
    "$LLVM_NM" "$MINGW_LIB/lib$name.a" 2>/dev/null | sed -n 's/^.* I __imp__\(.*\)$/\1/p' | sort -u
} >"$definitions"
"$LLVM_DLLTOOL" -m i386 -k -d "$definitions" -l "$output"
