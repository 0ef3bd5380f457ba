#!/usr/bin/env bash
# Checks that every C++ source and header under src/, tests/ and tools/ is laid out as .clang-format says; changes
# nothing and installs nothing (scripts/setup.sh brings clang-format).
#   scripts/check-format.sh
# Exits 0 when every file matches, 1 when any differs (clang-format names each file and line), 2 when clang-format
# is missing.
# `clang-format -i FILE` lays a named file out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || { echo "check-format: clang-format is not installed" >&2; exit 2; }

# Found at every run, so that new files are held to the layout from the start.
mapfile -d '' files < <(find src tests tools -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
# One clang-format for all files; it names each file and line that differs.
if clang-format --dry-run -Werror "${files[@]}"; then
    echo "check-format: ${#files[@]} files checked, all as laid out ($(clang-format --version | sed 's/^ *//'))"
else
    echo "check-format: some of ${#files[@]} files differ from .clang-format (see above)"
    exit 1
fi
