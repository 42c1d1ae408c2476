#!/usr/bin/env bash
# Makes the Debian package and checks it as a clean machine would see it:
# its files, its control data, and the installed program starting from a
# scratch root with nothing of the build tree in reach.
set -u  # no pipefail: grep -q may close a pipe early
build=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

deb=$(BUILD_DIR="$build" "$src/scripts/package.sh" | tail -n 1)
[ -f "$deb" ] || { echo "FAIL: no package made"; exit 1; }
echo "package: $deb"

contents=$(dpkg-deb -c "$deb")
for f in ./opt/tamberlin/Tamberlin ./opt/tamberlin/data.bin ./opt/tamberlin/kelshell.config \
         ./usr/bin/kelcab ./usr/share/applications/tamberlin.desktop \
         ./usr/share/icons/hicolor/scalable/apps/tamberlin.svg; do
  grep -q " $f\$" <<<"$contents" || fail "missing $f"
done
grep -Eq ' \./usr/lib/(x86_64-linux-gnu/)?libkelcab\.so\.1' <<<"$contents" || fail "missing libkelcab.so.1"
grep -q ' ./usr/bin/tamberlin -> /opt/tamberlin/Tamberlin$' <<<"$contents" \
  || fail "/usr/bin/tamberlin is not a link to the program"
grep -Eq '\./usr/include|libkelcab\.so -> ' <<<"$contents" && fail "development files in the package"

info=$(dpkg-deb -I "$deb")
grep -q '^ Package: tamberlin$' <<<"$info" || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt5webenginecore5 libquazip1-qt5 qml-module-qtwebengine qml-module-qzxing \
         libqt5sql5-sqlite gstreamer1.0-plugins-good; do
  grep -q "\\b$d\\b" <<<"$depends" || fail "Depends lacks $d"
done
grep -q '/opt/tamberlin/kelshell.config' <<<"$info" || dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles \
  | grep -q '/opt/tamberlin/kelshell.config' || fail "kelshell.config is not a conffile"

# Every dependency resolves from the configured archives (a simulation: nothing is installed).
if command -v apt-get >/dev/null; then
  apt-get -s install "$deb" 2>&1 | grep -q '^Inst tamberlin' || fail "apt cannot install the package"
fi

root="$TMPDIR/root"
dpkg -x "$deb" "$root" || { echo "FAIL: dpkg -x"; exit 1; }
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/tamberlin.desktop" || fail "desktop entry"
fi
grep -q '^Exec=/usr/bin/tamberlin' "$root/usr/share/applications/tamberlin.desktop" || fail "desktop Exec"

libdir=$(dirname "$(find "$root/usr/lib" -name 'libkelcab.so.1*' | head -n 1)")
export LD_LIBRARY_PATH="$libdir"
program="$root/opt/tamberlin/Tamberlin"
readelf -d "$program" "$root/usr/bin/kelcab" | grep -E 'RPATH|RUNPATH' | grep -q "$build" \
  && fail "installed binaries look into the build tree"
missing=$(ldd "$program" "$root/usr/bin/kelcab" | grep 'not found')
[ -z "$missing" ] || fail "unresolved libraries: $missing"
ldd "$program" | grep -q "libkelcab.so.1 => $libdir/" || fail "libkelcab is not the installed one"
"$root/usr/bin/kelcab" verify "$root/opt/tamberlin/data.bin" >/dev/null || fail "installed data.bin does not verify"
listing=$("$root/usr/bin/kelcab" list "$root/opt/tamberlin/data.bin")
for f in index.html js/explorer.js js/tamberlin.js; do
  grep -q "$f" <<<"$listing" || fail "the installed course lacks $f"
done

# A real start of the installed program: QML, web engine and bridge load, the
# page reaches shellInterface and ends the program with its own exit code.
# xvfb-run's own status hides the program's when its clean-up fails: keep it aside.
timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  QT_QPA_PLATFORM=xcb "$1" --dev "$2" >"$3" 2>&1; echo $? >"$3.code"
' _ "$program" "$src/tests/package/course" "$TMPDIR/run.log"
code=$(cat "$TMPDIR/run.log.code" 2>/dev/null || echo none)
[ "$code" = 7 ] || { fail "installed program ended with $code, not the page's 7"; tail -n 20 "$TMPDIR/run.log"; }

# The installed program with its own course, started through a link as from
# /usr/bin: it finds data.bin beside its real file, and the explorer page,
# served from it, makes its start-up calls (application, files from the
# archive, storage, SQL, network) through the packed client library.
mkdir -p "$TMPDIR/bin" && ln -s "$program" "$TMPDIR/bin/tamberlin"
# The web engine takes no port 0 here: pick a free one.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
QTWEBENGINE_REMOTE_DEBUGGING=127.0.0.1:$port timeout 150 xvfb-run -a -s "-screen 0 1024x768x24" \
  bash -c '
  QT_QPA_PLATFORM=xcb "$1" >"$2" 2>&1 & pid=$!
  "$4" "$3" status "^(Connected|The explorer stopped|Open this course)" 120 >"$2.status"
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; true
' _ "$TMPDIR/bin/tamberlin" "$TMPDIR/explorer.log" "$port" "$src/tests/package/pagetext.py"
grep -q '^Connected' "$TMPDIR/explorer.log.status" \
  || { fail "the explorer did not connect: $(cat "$TMPDIR/explorer.log.status")"; tail -n 20 "$TMPDIR/explorer.log"; }

[ "$failures" -eq 0 ] && echo "package checks passed"
exit "$failures"
