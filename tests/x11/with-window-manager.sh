#!/bin/sh
# Runs a test program on Qt's xcb platform, on a private X server (Xvfb) with a real window manager
# (openbox), so that the window manager's own close (Alt+F4) reaches the window as on a desktop.
#   with-window-manager.sh PROGRAM [ARGUMENT...]
set -eu
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    openbox >/dev/null 2>&1 &
    wm=$!
    # Until openbox has taken the screen (it names itself on the root window), at most 10 s.
    i=0
    until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep "window id" >/dev/null; do
        i=$((i + 1))
        [ "$i" -le 100 ] || { echo "openbox did not start" >&2; kill "$wm"; exit 1; }
        sleep 0.1
    done
    status=0
    QT_QPA_PLATFORM=xcb "$@" || status=$?
    kill "$wm" 2>/dev/null || true
    exit "$status"
' sh "$@"
