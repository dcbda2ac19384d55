#!/usr/bin/env bash
# Runs one Windows test program under wine: the CMAKE_CROSSCOMPILING_EMULATOR of the windows preset,
# so that `ctest --preset windows` runs every test this way.
#   scripts/wine-test.sh PROGRAM.exe [ARGS...]
# - The wine prefix is $WINEPREFIX, or build/wine (made once, on first use).
# - The program finds the Qt and mingw DLLs through WINEPATH; Qt's plugins sit beside Qt's DLLs.
# - A QtTest program writes its log to a file (its standard output goes nowhere under wine when it is
#   redirected), which is printed afterwards. The Qt platform is "minimal" unless LIAISON_WINE_PLATFORM
#   names another: "windows" draws real windows, on a private Xvfb when there is no display.
# - With LIAISON_WINE_PEER_COM=N, the program runs under compeer, which plays the device at the far end of
#   COMN on a Linux pseudo-terminal (tests/wine/README.md), with the shim that gives the pty modem
#   lines unless LIAISON_WINE_NO_SHIM is set; compeer and the shim are built here with the host
#   compiler when missing or older than their sources.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
program=$1
shift

: "${LIAISON_QT_WINDOWS:?LIAISON_QT_WINDOWS must name the Qt for Windows prefix (scripts/build-qt-windows.sh prints it)}"
# Wine makes Windows file names from Unix ones in the locale's encoding: in the C locale a name with "é"
# cannot be made at all. C.UTF-8 is on every Debian system, whatever locale the caller has.
export LC_ALL=C.UTF-8
export WINEPREFIX=${WINEPREFIX:-$here/build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
# Wine hands no QT_ variable to the program, but turns WINEQT_X into QT_X.
export WINEQT_QPA_PLATFORM=${LIAISON_WINE_PLATFORM:-minimal}

mkdir -p "$(dirname "$WINEPREFIX")"
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Making the wine prefix $WINEPREFIX" >&2
        timeout 300 wineboot -i >/dev/null 2>&1 || true
        timeout 60 wineserver -w || true
    fi
) 9>"$WINEPREFIX.lock"

gccdir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
pthreaddir=/usr/x86_64-w64-mingw32/lib
winepath=
for dir in "$LIAISON_QT_WINDOWS/bin" "$gccdir" "$pthreaddir"; do
    winepath+="Z:${dir//\//\\};"
done
export WINEPATH=$winepath

args=("$@")
name=$(basename "$program" .exe)
log=
if [[ $name == tst_* ]]; then
    log=$(mktemp -t "$name.XXXXXX.txt")
    args+=(-o "Z:${log//\//\\},txt")
fi

command=(timeout 240 wine "$program" "${args[@]}")
# The windows platform draws real windows: on a private X server when there is no display.
if [ "$WINEQT_QPA_PLATFORM" = windows ] && [ -z "${DISPLAY:-}" ]; then
    command=(xvfb-run -a -s "-screen 0 1024x768x24" "${command[@]}")
fi
if [ -n "${LIAISON_WINE_PEER_COM:-}" ]; then
    rig=$here/build/wine-rig
    mkdir -p "$rig"
    (
        flock 9
        src=$here/tests/wine
        [ "$rig/compeer" -nt "$src/compeer.c" ] || gcc -O2 -Wall -Wextra -o "$rig/compeer" "$src/compeer.c" -lutil
        [ "$rig/modemshim.so" -nt "$src/modemshim.c" ] ||
            gcc -O2 -Wall -Wextra -shared -fPIC -o "$rig/modemshim.so" "$src/modemshim.c" -ldl
    ) 9>"$rig.lock"
    # Wine lists a port (in HARDWARE\DEVICEMAP\SERIALCOMM and among the DOS device names) only when it
    # registers it as it starts, from HKLM\Software\Wine\Ports; a dosdevices link alone opens but is not
    # listed. So COMN is registered once in this prefix as $WINEPREFIX/compeer-comN, which compeer points
    # at its line on every run; the value takes effect at wine's next start, once the prefix is idle.
    (
        flock 9
        registered=$WINEPREFIX/.compeer-com$LIAISON_WINE_PEER_COM
        if [ ! -f "$registered" ]; then
            timeout 120 wineserver -w || true
            timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v "COM$LIAISON_WINE_PEER_COM" /t REG_SZ \
                /d "$WINEPREFIX/compeer-com$LIAISON_WINE_PEER_COM" /f >/dev/null 2>&1 &&
                timeout 120 wineserver -w && touch "$registered"
        fi
    ) 9>"$WINEPREFIX.lock"
    shim=(--shim "$rig/modemshim.so")
    [ -z "${LIAISON_WINE_NO_SHIM:-}" ] || shim=()
    command=("$rig/compeer" --com "$LIAISON_WINE_PEER_COM" "${shim[@]}" -- "${command[@]}")
fi

status=0
"${command[@]}" || status=$?
if [ -n "$log" ]; then
    cat "$log" 2>/dev/null || echo "($name wrote no log)"
    rm -f "$log"
fi
exit "$status"
