#!/usr/bin/env bash
# Installs what is missing, builds, packs the demo course into data.bin beside
# the program and runs it. Without a display it runs under Xvfb, saves a
# screenshot and prints its path.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
"$here/scripts/install-deps.sh"
BUILD_DIR="$build" "$here/scripts/build.sh"

"$build/kelcab/kelcab" pack "$here/examples/demo-course/webapp" "$build/data.bin"
cp "$here/examples/demo-course/kelshell.config" "$build/kelshell.config"

# The web engine refuses its sandbox as root.
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi

if [ -n "${DISPLAY:-}" ]; then
  exec "$build/Tamberlin" "$@"
fi

shot="${SCREENSHOT:-$build/tamberlin-screenshot.png}"
seconds="${DEMO_SECONDS:-15}"
echo "No display: running under Xvfb for ${seconds}s"
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  "$1" & pid=$!
  sleep "$3"
  import -window root "$2"
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
' _ "$build/Tamberlin" "$shot" "$seconds"
echo "Screenshot: $shot"
