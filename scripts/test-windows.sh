#!/usr/bin/env bash
# The Windows build, end to end on this Debian machine: installs what it needs, builds (or reuses) Qt for
# mingw, cross-builds the console and its tests, builds the zip, the installer and the MSI package,
# installs both silently in a fresh wine prefix and checks that the installed program shows its window,
# then runs every test under wine (the COM-port test against a Linux pseudo-terminal). No display needed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 nsis wixl msitools zip xvfb xauth xdotool \
    imagemagick openbox

start=$(date +%s)
LIAISON_QT_WINDOWS=$(scripts/build-qt-windows.sh)
export LIAISON_QT_WINDOWS
echo "Qt for Windows: $LIAISON_QT_WINDOWS ($(( $(date +%s) - start )) s)"

echo "== windows"
cmake --preset windows
cmake --build --preset windows
scripts/package-windows.sh build/windows
scripts/check-windows-install.sh build/windows
ctest --preset windows
