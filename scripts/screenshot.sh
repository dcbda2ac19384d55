#!/usr/bin/env bash
# Makes docs/window.png, the README's picture of the window: installs the release build into a
# scratch prefix, runs the installed program under Xvfb and captures its window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh xvfb xdotool imagemagick
cmake --preset release >/dev/null
cmake --build --preset release --target liaison-serie
prefix=$(mktemp -d)
trap 'kill $console $xvfb 2>/dev/null || true; rm -rf "$prefix"' EXIT
cmake --install build/release --prefix "$prefix" >/dev/null

display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 640x400x24 >/dev/null 2>&1 &
xvfb=$!
sleep 1
DISPLAY=$display "$prefix/bin/liaison-serie" >/dev/null 2>&1 &
console=$!
window=$(DISPLAY=$display timeout 20 xdotool search --sync --onlyvisible --name "Test liaison série" | head -n 1)
sleep 0.5 # let the first paint land
mkdir -p docs
DISPLAY=$display import -window "$window" docs/window.png
identify docs/window.png
