# shellcheck shell=bash disable=SC2034,SC2154 # sets title and exe for the caller, reads its here
# What the scripts that take pictures of the console share (sourced, not run):
#   scripts/screenshot-scaling.sh, scripts/screenshot-guide.sh
# - start_display: a private Xvfb, DISPLAY set to it; start_window_manager: openbox on it, so that windows
#   and boxes get title bars as on a desktop.
# - wine_desktop PREFIX: the environment that runs build/windows/liaison-serie.exe under wine on Qt's
#   windows platform (LIAISON_QT_WINDOWS names the Qt prefix), in the wine prefix PREFIX, made on first
#   use, with the faces of a Windows desktop (Debian's wine cannot open its own font folder);
#   wine_scale DPI sets its scale (LogPixels) and Windows' default font smoothing, ClearType: with wine's
#   own default, standard smoothing, wine draws its Tahoma at 16 pixels from a bitmap strike that does
#   not fit the glyph box wine reports for it, and captions lose a column at 150 %. Wine reads both as
#   it starts: the wineserver is stopped afterwards, as Windows asks a new sign-in for a new scale.
# - cleanup_display: stops what these started; call it from the script's EXIT trap.
# The caller sets `here` (the source tree) and `set -euo pipefail`.

title="Test liaison série"
xvfb='' window_manager=''

# A display of our own; -noreset keeps the resource database when the last client goes.
start_display() {
    local displayfile
    displayfile=$(mktemp)
    Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s "$displayfile" ] && break
        sleep 0.1
    done
    [ -s "$displayfile" ] || { echo "Xvfb gave no display number" >&2; exit 1; }
    DISPLAY=:$(head -n 1 "$displayfile")
    export DISPLAY
    rm -f "$displayfile"
}

# Openbox on the display, as tests/x11/with-window-manager.sh runs it: until it has taken the screen (it
# names itself on the root window), at most 10 s.
start_window_manager() {
    openbox >/dev/null 2>&1 &
    window_manager=$!
    for _ in $(seq 100); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && return 0
        sleep 0.1
    done
    echo "openbox did not start" >&2
    exit 1
}

wine_desktop() {
    : "${LIAISON_QT_WINDOWS:?LIAISON_QT_WINDOWS must name the Qt for Windows prefix}"
    exe=$here/build/windows/liaison-serie.exe
    [ -f "$exe" ] || { echo "$exe is missing: cmake --build --preset windows first" >&2; exit 1; }
    export LC_ALL=C.UTF-8 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEPREFIX=$1
    local gccdir dir
    gccdir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
    WINEPATH=
    for dir in "$LIAISON_QT_WINDOWS/bin" "$gccdir" /usr/x86_64-w64-mingw32/lib; do
        WINEPATH+="Z:${dir//\//\\};"
    done
    export WINEPATH
    # Wine hands no QT_ variable to the program, but turns WINEQT_X into QT_X.
    export WINEQT_QPA_PLATFORM=windows
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        timeout 300 wineboot -i >/dev/null 2>&1 || true
        timeout 60 wineserver -w || true
    fi
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
}

# `wine reg add` of one value, quietly.
wine_reg() {
    timeout 60 wine reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1
}

wine_scale() {
    local desktop='HKCU\Control Panel\Desktop'
    wine_reg "$desktop" LogPixels REG_DWORD "$1"
    wine_reg 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' LogPixels REG_DWORD "$1"
    wine_reg "$desktop" FontSmoothing REG_SZ 2
    wine_reg "$desktop" FontSmoothingType REG_DWORD 2
    wine_restart
}

# Stops the wineserver and waits for it, so that the next program starts wine afresh.
wine_restart() {
    timeout 20 wineserver -k 2>/dev/null || true
    timeout 20 wineserver -w || true
}

cleanup_display() {
    [ -n "${WINEPREFIX:-}" ] && timeout 20 wineserver -k 2>/dev/null
    [ -n "$window_manager" ] && kill "$window_manager" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    return 0
}
