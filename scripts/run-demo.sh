#!/usr/bin/env bash
# Installs what is missing, builds, puts the demo course (data.bin) beside the
# program and runs it. Without a display it runs under Xvfb, saves a
# screenshot and prints its path.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
"$here/scripts/install-deps.sh"
BUILD_DIR="$build" "$here/scripts/build.sh"

# The build packs the demo course (the service explorer, with the page client
# library copied in) into examples/data.bin.
cmake --build "$build" --target demo_course
cp "$build/examples/data.bin" "$build/data.bin"
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
  # The program window alone (found by its class), else the whole screen.
  win=$(xwininfo -root -tree | awk '"'"'/\("Tamberlin" "Tamberlin"\)/ {print $1; exit}'"'"')
  import -window "${win:-root}" "$2" 2>/dev/null || import -window root "$2"
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
' _ "$build/Tamberlin" "$shot" "$seconds"
echo "Screenshot: $shot"
