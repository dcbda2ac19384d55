#!/usr/bin/env bash
# Pictures of the window on desktops scaled to 100 %, 150 % and 200 %, for the README:
#   scripts/screenshot-scaling.sh [linux|windows|all]          (default all)
# - Linux: docs/scaling-linux-{100,150,200}.png, the program of build/default on a private Xvfb whose
#   resource database sets Xft.dpi to 96, 144 and 192, as a desktop's scaling setting does.
# - Windows: docs/scaling-windows-{100,150,200}.png, build/windows/liaison-serie.exe under wine on Qt's
#   windows platform (LIAISON_QT_WINDOWS names the Qt prefix), in a wine prefix of its own
#   (build/wine-scaling) whose LogPixels is set to 96, 144 and 192, with ClearType, as
#   scripts/screenshot-lib.sh describes.
# Each picture is the window alone (import -window), the program started afresh for each scale.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}

"$here/scripts/install-deps.sh" xvfb xdotool imagemagick x11-xserver-utils >&2
[ "$which" = linux ] || "$here/scripts/install-deps.sh" wine wine64 fonts-wine >&2

# shellcheck source=scripts/screenshot-lib.sh
. "$here/scripts/screenshot-lib.sh"

program=''
cleanup() {
    set +e
    [ -n "$program" ] && kill "$program" 2>/dev/null
    cleanup_display
}
trap cleanup EXIT
start_display

# Starts the command given, waits for the window, lets its first paint land and keeps a picture of it
# in the file named first.
capture() {
    local file=$1
    shift
    "$@" >/dev/null 2>&1 &
    program=$!
    local window
    window=$(timeout 60 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1)
    sleep 2
    import -window "$window" "$file"
    echo "$file: $(identify -format '%wx%h' "$file")"
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    program=''
}

mkdir -p "$here/docs"
if [ "$which" != windows ]; then
    cmake --preset default >/dev/null
    cmake --build --preset default --target liaison-serie >/dev/null
    for percent in 100 150 200; do
        echo "Xft.dpi: $((96 * percent / 100))" | xrdb -nocpp -merge
        capture "$here/docs/scaling-linux-$percent.png" "$here/build/default/console/liaison-serie"
    done
fi

if [ "$which" != linux ]; then
    wine_desktop "$here/build/wine-scaling"
    for percent in 100 150 200; do
        wine_scale $((96 * percent / 100))
        capture "$here/docs/scaling-windows-$percent.png" timeout 120 wine "$exe"
        wine_restart
    done
fi
