#!/usr/bin/env bash
# Installs the Debian packages Tamberlin needs to build, run and test.
# Idempotent: only packages that are missing are installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config ninja-build
  qtbase5-dev qtdeclarative5-dev qtdeclarative5-dev-tools qttools5-dev-tools
  qtwebengine5-dev libqt5webchannel5-dev qtmultimedia5-dev
  libqt5sql5-sqlite libqt5multimedia5-plugins
  qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls
  qml-module-qtquick-layouts
  qml-module-qtwebengine qml-module-qtwebchannel qml-module-qtmultimedia
  libquazip1-qt5-dev libqzxing-dev qml-module-qzxing zlib1g-dev
  ccache xvfb xauth x11-utils imagemagick zip unzip python3 clang libclang-rt-14-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  pulseaudio pulseaudio-utils sox libsox-fmt-all gstreamer1.0-pulseaudio
  curl
  zint
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
