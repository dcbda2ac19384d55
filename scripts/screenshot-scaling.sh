#!/usr/bin/env bash
# Pictures of the window on desktops scaled to 100 %, 150 % and 200 %, for the README:
#   scripts/screenshot-scaling.sh [linux|windows|all]          (default all)
# - Linux: docs/scaling-linux-{100,150,200}.png, the program of build/default on a private Xvfb whose
#   resource database sets Xft.dpi to 96, 144 and 192, as a desktop's scaling setting does.
# - Windows: docs/scaling-windows-{100,150,200}.png, build/windows/liaison-serie.exe under wine on Qt's
#   windows platform (LIAISON_QT_WINDOWS names the Qt prefix), in a wine prefix of its own
#   (build/wine-scaling) whose LogPixels is set to 96, 144 and 192, with the wineserver restarted in
#   between, as Windows asks a new sign-in for a new scale. That prefix gets the faces of a Windows
#   desktop (Debian's wine cannot open its own font folder) and Windows' default font smoothing,
#   ClearType: with wine's own default, standard smoothing, wine draws its Tahoma at 16 pixels from
#   a bitmap strike that does not fit the glyph box wine reports for it, and the captions lose a
#   column at 150 %.
# Each picture is the window alone (import -window), the program started afresh for each scale.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
title="Test liaison série"

"$here/scripts/install-deps.sh" xvfb xdotool imagemagick x11-xserver-utils >&2
[ "$which" = linux ] || "$here/scripts/install-deps.sh" wine wine64 fonts-wine >&2

xvfb='' program=''
cleanup() {
    set +e
    [ -n "$program" ] && kill "$program" 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && timeout 20 wineserver -k 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    return 0
}
trap cleanup EXIT

# A display of our own; -noreset keeps the resource database when the last client goes.
displayfile=$(mktemp)
Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$displayfile" ] && break
    sleep 0.1
done
[ -s "$displayfile" ] || { echo "Xvfb gave no display number" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$displayfile")
rm -f "$displayfile"

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
    : "${LIAISON_QT_WINDOWS:?LIAISON_QT_WINDOWS must name the Qt for Windows prefix}"
    exe=$here/build/windows/liaison-serie.exe
    [ -f "$exe" ] || { echo "$exe is missing: cmake --build --preset windows first" >&2; exit 1; }
    export LC_ALL=C.UTF-8 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEPREFIX=$here/build/wine-scaling
    gccdir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
    WINEPATH=
    for dir in "$LIAISON_QT_WINDOWS/bin" "$gccdir" /usr/x86_64-w64-mingw32/lib; do
        WINEPATH+="Z:${dir//\//\\};"
    done
    export WINEPATH
    export WINEQT_QPA_PLATFORM=windows
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        timeout 300 wineboot -i >/dev/null 2>&1 || true
        timeout 60 wineserver -w || true
    fi
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
    desktop='HKCU\Control Panel\Desktop'
    for percent in 100 150 200; do
        dpi=$((96 * percent / 100))
        timeout 60 wine reg add "$desktop" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
        timeout 60 wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
            /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
        timeout 60 wine reg add "$desktop" /v FontSmoothing /t REG_SZ /d 2 /f >/dev/null 2>&1
        timeout 60 wine reg add "$desktop" /v FontSmoothingType /t REG_DWORD /d 2 /f >/dev/null 2>&1
        timeout 20 wineserver -k 2>/dev/null || true
        timeout 20 wineserver -w || true
        capture "$here/docs/scaling-windows-$percent.png" timeout 120 wine "$exe"
        timeout 20 wineserver -k 2>/dev/null || true
    done
fi
