#!/usr/bin/env bash
# Runs one test with HOME, the XDG folders and TMPDIR in a fresh folder.
set -u
root=$(mktemp -d "${TMPDIR:-/tmp}/tamberlin-test.XXXXXX") || exit 1
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/home" "$root/config" "$root/data" "$root/cache" "$root/state" "$root/runtime" "$root/tmp"
chmod 700 "$root/runtime"
export HOME="$root/home" TMPDIR="$root/tmp"
export XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache"
export XDG_STATE_HOME="$root/state" XDG_RUNTIME_DIR="$root/runtime"
# The web engine refuses its sandbox as root; only tests switch it off.
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
"$@"
