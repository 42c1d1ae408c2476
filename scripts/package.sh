#!/usr/bin/env bash
# Builds what the Debian package holds and makes it with CPack; prints the
# path of the .deb on the last line. Install it with: apt install ./FILE.deb
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
[ -f "$build/CMakeCache.txt" ] || BUILD_DIR="$build" "$here/scripts/build.sh" >&2
cmake --build "$build" --parallel "${JOBS:-2}" --target Tamberlin kelcab kelcab_tool demo_course >&2
rm -f "$build"/package/tamberlin_*.deb
(cd "$build" && cpack -G DEB -B "$build/package" >&2)
ls "$build"/package/tamberlin_*.deb
