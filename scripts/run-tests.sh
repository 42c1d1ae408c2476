#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
"$here/scripts/install-deps.sh"
BUILD_DIR="$build" "$here/scripts/build.sh"
cd "$build"
ctest --output-on-failure --parallel "${TEST_JOBS:-2}" --timeout 600 "$@"
