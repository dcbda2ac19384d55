#!/usr/bin/env bash
# Pictures of the console for the technician's guide (docs/guide.md), in docs/guide/, and the README's
# answer box:
#   scripts/screenshot-guide.sh [windows|linux|all]          (default all)
# Each picture is one window or box of the real program, alone (import -window), at 100 %: the program
# is started afresh for each, the Com number typed and the buttons clicked with xdotool, and the device at
# the far end of the line is liaison-sim (build/default) or a socat pair on a Linux pseudo-terminal.
# - Windows: build/windows/liaison-serie.exe under wine on Qt's windows platform (LIAISON_QT_WINDOWS
#   names the Qt prefix), in a wine prefix of its own (build/wine-guide) with a Windows desktop's faces
#   and ClearType (scripts/screenshot-lib.sh). No window manager: wine draws the frames and title bars
#   itself, as Windows does. COM3 is registered with wine as $WINEPREFIX/guide-com3, a link pointed at
#   the pseudo-terminal of each picture, so that wine lists it among its ports.
#     windows-window.png         the window, just started
#     windows-not-connected.png  00 02 pressed before Connecter
#     windows-port-missing.png   Com 7, which names no port, and Connecter: the box lists wine's ports
#     windows-answer.png         Com 3, where liaison-sim answers, Connecter, then 00 02: "0 2 255"
#     windows-incomplete.png     Com 3, whose far end sends the one byte 0xF0 and stays silent
# - Linux: build/default/console/liaison-serie on Qt's xcb platform, Xft.dpi 96, under openbox (which
#   draws the title bars; the picture takes its frame too):
#     linux-port-missing.png     Com 7 (/dev/ttyS6, absent) and Connecter: the box lists the ports of /dev
#     linux-access-refused.png   the program run as nobody, outside the group dialout, connecting to
#                                liaison-sim's pseudo-terminal given a Debian serial port's owner and mode
#                                (root:dialout, 0660); made only when the script runs as root
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
out=$here/docs/guide
# The same texts whatever the caller's locale (the system's own error texts among them).
export LC_ALL=C.UTF-8

"$here/scripts/install-deps.sh" xvfb xdotool imagemagick x11-xserver-utils x11-utils socat >&2
[ "$which" = windows ] || "$here/scripts/install-deps.sh" openbox >&2
[ "$which" = linux ] || "$here/scripts/install-deps.sh" wine wine64 fonts-wine >&2

# shellcheck source=scripts/screenshot-lib.sh
. "$here/scripts/screenshot-lib.sh"

scratch=$(mktemp -d)
program='' far='' socat=''
cleanup() {
    set +e
    [ -n "$program" ] && kill "$program" 2>/dev/null
    cleanup_display
    [ -n "$socat" ] && kill "$socat" 2>/dev/null
    [ -n "$far" ] && kill "$far" 2>/dev/null
    rm -rf "$scratch"
    return 0
}
trap cleanup EXIT
fail() {
    echo "screenshot-guide: $*" >&2
    exit 1
}

cmake --preset default >/dev/null
cmake --build --preset default --target liaison-serie liaison-sim >/dev/null
console=$here/build/default/console/liaison-serie
sim=$here/build/default/sim/liaison-sim
start_display

# Where to click, in the window's client area at 100 % (console/consolewindow.cpp places its widgets in
# twips, 15 to a pixel): the middles of Connecter, of 00 02 and of the Com box.
connecter=(40 16)
button_00_02=(128 80)
com_box=(236 137)
client_width=433 client_height=193

# Starts the console with the command given and waits for its window: $main, and in $dx $dy where its
# client area begins in that X window (wine's own frame; none under openbox, whose frame is a window
# of its own).
main='' dx=0 dy=0
start_console() {
    "$@" >/dev/null 2>&1 &
    program=$!
    # A search stops at an X error, which a window that goes while it looks gives (Qt makes and drops
    # some as it starts): asked again until the window is there, at most 60 s.
    main=''
    for _ in $(seq 300); do
        main=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1) || true
        [ -n "$main" ] && break
        sleep 0.2
    done
    [ -n "$main" ] || fail "no window \"$title\" within 60 s"
    local geometry width height
    geometry=$(xdotool getwindowgeometry "$main" | sed -n 's/^ *Geometry: //p')
    width=${geometry%x*} height=${geometry#*x}
    dx=$(((width - client_width) / 2))
    dy=$((height - client_height - dx))
    if [ "$dx" -lt 0 ] || [ "$dy" -lt 0 ]; then
        fail "a window of $geometry holds no client area of ${client_width}x$client_height"
    fi
    sleep 2 # let the first paint land
}

# Ends the console as a user would, so that it closes the port and removes its lock file
# (/run/lock/LCK..*), which a kill would leave behind: Return presses the box's OK, after which a failure's
# box ends the console by itself; after an answer's box the window is closed (Alt+F4).
stop_console() {
    xdotool key Return
    for _ in $(seq 20); do
        kill -0 "$program" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$program" 2>/dev/null; then
        if [ -n "$window_manager" ]; then
            xdotool windowactivate --sync "$main"
        else
            xdotool windowfocus "$main"
        fi
        xdotool key --clearmodifiers alt+F4
    fi
    for _ in $(seq 100); do
        kill -0 "$program" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$program" 2>/dev/null && fail "the console did not end within 10 s of its box's OK and Alt+F4"
    wait "$program" 2>/dev/null || true
    program=''
}

click() {
    xdotool mousemove --window "$main" $(($1 + dx)) $(($2 + dy)) click 1
    sleep 0.3
}

# Types a number in the Com box, in place of what it holds.
type_com() {
    click "${com_box[@]}"
    xdotool key ctrl+a
    xdotool type "$1"
    sleep 0.3
}

# The console's boxes shown now (windows of its title other than the window itself).
boxes() {
    xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | grep -vx "$main" || true
}

# Waits for one box, at most 10 s, lets it paint, and prints its id.
wait_box() {
    local box=''
    for _ in $(seq 100); do
        box=$(boxes | head -n 1)
        [ -n "$box" ] && break
        sleep 0.1
    done
    [ -n "$box" ] || fail "no box within 10 s"
    # With no window manager to give it the focus, wine leaves it drawn as inactive: Windows gives a new
    # box the focus.
    [ -n "$window_manager" ] || xdotool windowfocus "$box"
    sleep 1
    echo "$box"
}

# After Connecter on a port that opens: no box may come (a failure would show one).
expect_connected() {
    sleep 1.5
    [ -z "$(boxes)" ] || fail "Connecter on $1 showed a box: the port did not open"
}

# import's arguments before the file (-frame under openbox), then the window and the file.
shoot_options=()
shoot() {
    import "${shoot_options[@]}" -window "$1" "$2"
    echo "$2: $(identify -format '%wx%h' "$2")"
}

# liaison-sim on a new pseudo-terminal, with the options given: its process in $far, its device in $pty.
pty=''
start_sim() {
    "$sim" "$@" >"$scratch/sim.out" 2>&1 &
    far=$!
    for _ in $(seq 100); do
        pty=$(sed -n 's/^Port [0-9]* (\(\/dev\/pts\/[0-9]*\)).*/\1/p' "$scratch/sim.out")
        [ -n "$pty" ] && return 0
        sleep 0.1
    done
    fail "liaison-sim named no pseudo-terminal: $(cat "$scratch/sim.out")"
}

stop_far_end() {
    kill "$far" 2>/dev/null || true
    wait "$far" 2>/dev/null || true
    far=''
}

mkdir -p "$out"

if [ "$which" != linux ]; then
    wine_desktop "$here/build/wine-guide"
    # Wine lists a COM port only when it registers it as it starts, from HKLM\Software\Wine\Ports
    # (tests/wine/README.md): COM3 is this link, pointed at each picture's pseudo-terminal.
    com3=$WINEPREFIX/guide-com3
    wine_reg 'HKLM\Software\Wine\Ports' COM3 REG_SZ "$com3"
    # Frames drawn by wine, as Windows draws them, rather than left to a window manager.
    wine_reg 'HKCU\Software\Wine\X11 Driver' Decorated REG_SZ N
    wine_scale 96 # restarts wine: the values above hold from the next program on
    link_com3() {
        ln -sfn "$1" "$com3"
        ln -sfn "$1" "$WINEPREFIX/dosdevices/com3"
    }

    start_console timeout 300 wine "$exe"
    shoot "$main" "$out/windows-window.png"
    click "${button_00_02[@]}"
    shoot "$(wait_box)" "$out/windows-not-connected.png"
    stop_console

    start_sim
    link_com3 "$pty"
    start_console timeout 300 wine "$exe"
    type_com 7
    click "${connecter[@]}"
    shoot "$(wait_box)" "$out/windows-port-missing.png"
    stop_console

    start_console timeout 300 wine "$exe"
    type_com 3
    click "${connecter[@]}"
    expect_connected "COM3 ($pty)"
    click "${button_00_02[@]}"
    shoot "$(wait_box)" "$out/windows-answer.png"
    stop_console
    # Wine's server takes a pseudo-terminal it opens as its controlling terminal: stopped before the
    # line goes, it gets no hang-up.
    wine_restart
    stop_far_end

    # A pair of pseudo-terminals: the console's end, and the far end that this script holds open and
    # writes to.
    socat pty,raw,echo=0,link="$scratch/near" pty,raw,echo=0,link="$scratch/far" 2>/dev/null &
    socat=$!
    for _ in $(seq 100); do
        [ -e "$scratch/near" ] && [ -e "$scratch/far" ] && break
        sleep 0.1
    done
    [ -e "$scratch/far" ] || fail "socat made no pseudo-terminal pair"
    link_com3 "$(readlink -f "$scratch/near")"
    exec {far_fd}<>"$scratch/far"
    start_console timeout 300 wine "$exe"
    type_com 3
    click "${connecter[@]}"
    expect_connected "COM3 ($(readlink -f "$scratch/near"))"
    printf '\360' >&"$far_fd"
    shoot "$(wait_box)" "$out/windows-incomplete.png"
    stop_console
    wine_restart
    exec {far_fd}>&-
    kill "$socat" 2>/dev/null || true
    wait "$socat" 2>/dev/null || true
    socat=''
    rm -f "$com3" "$WINEPREFIX/dosdevices/com3"
fi

if [ "$which" != windows ]; then
    start_window_manager
    echo "Xft.dpi: 96" | xrdb -nocpp -merge
    export QT_QPA_PLATFORM=xcb
    shoot_options=(-frame)

    start_console "$console"
    type_com 7
    click "${connecter[@]}"
    shoot "$(wait_box)" "$out/linux-port-missing.png"
    stop_console

    if [ "$(id -u)" -eq 0 ]; then
        start_sim
        number=$((100 + ${pty#/dev/pts/}))
        # The owner and mode Debian gives a serial port, and a user outside its group.
        chgrp dialout "$pty"
        chmod 0660 "$pty"
        chmod 0711 "$scratch"
        mkdir "$scratch/home"
        chown nobody "$scratch/home"
        start_console setpriv --reuid=nobody --regid=nogroup --clear-groups \
            env HOME="$scratch/home" "$console"
        type_com "$number"
        click "${connecter[@]}"
        shoot "$(wait_box)" "$out/linux-access-refused.png"
        stop_console
    else
        echo "linux-access-refused.png left as it is: giving the line a serial port's mode needs root" >&2
    fi
    stop_far_end
fi
