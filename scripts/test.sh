#!/usr/bin/env bash
# Builds Instelix and its tests, boots the two stand-in Windows machines and runs the whole suite.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=setup.sh
source "$here/setup.sh"
instelix_build
cd "$here/.."
ctest --preset mingw-x86 "$@"
