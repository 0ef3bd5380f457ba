#!/usr/bin/env bash
# Checks that every C++ source and header under src/ and tests/ is laid out as .clang-format says; changes nothing
# and installs nothing (scripts/setup.sh brings clang-format).
#   scripts/check-format.sh
# Exits 0 when every file matches, 1 when any differs (each such file is named), 2 when clang-format is missing.
# `clang-format -i FILE` lays a named file out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || { echo "check-format: clang-format is not installed" >&2; exit 2; }

# Found at every run, so that new files are held to the layout from the start.
mapfile -d '' files < <(find src tests -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
failed=0
for file in "${files[@]}"; do
    if ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1; then
        echo "check-format: $file differs from .clang-format"
        failed=$((failed + 1))
    fi
done
echo "check-format: ${#files[@]} files checked, $failed differ ($(clang-format --version | sed 's/^ *//'))"
[ "$failed" = 0 ] || exit 1
