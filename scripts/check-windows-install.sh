#!/usr/bin/env bash
# Installs the Windows installer that scripts/package-windows.sh made into a fresh wine prefix, runs the
# installed program on a virtual display and uninstalls it again:
#   scripts/check-windows-install.sh [BUILD_DIR]          (default build/windows)
# - silent install (setup.exe /S): the program, its DLLs and plugins, the uninstaller, the Start-menu
#   shortcut and the Add/Remove Programs entry must be there;
# - the program, started through the shortcut once and then RUNS times directly (default 5), must show
#   its window "Test liaison série" with a 433 x 193 client area; the time from start to window shown is
#   printed for each start, with the median;
# - BUILD_DIR/window-wine.png: a picture of the window;
# - silent uninstall (uninstall.exe /S): all of it must be gone again.
# Needs no display: it runs its own Xvfb and openbox. Exits non-zero, with the reason, on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/windows}" && pwd)
runs=${RUNS:-5}

fail() {
    echo "check-windows-install: FAILED: $*" >&2
    exit 1
}
step() {
    echo "== $*"
}

version=$(sed -n 's/^project(liaison-serie VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
setup=$build/liaison-serie-$version-win64-setup.exe
[ -f "$setup" ] || fail "$setup is missing: run scripts/package-windows.sh first"
# fonts-wine: Tahoma and the other faces of a Windows desktop; Qt's default font is Tahoma under wine.
"$here/scripts/install-deps.sh" wine wine64 fonts-wine xvfb xdotool openbox imagemagick >&2

title="Test liaison série"
# Wine makes Windows file names from Unix ones in the locale's encoding: in the C locale it cannot make
# "Test liaison série", and the silent installer then ends with status 0 having installed nothing.
# C.UTF-8 is on every Debian system, whatever locale the caller has.
export LC_ALL=C.UTF-8
export WINEPREFIX=$here/build/wine-install
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
drive_c=$WINEPREFIX/drive_c
instdir="$drive_c/Program Files/$title"
shortcut="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$title.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\liaison-serie'

xvfb='' openbox='' program=''
cleanup() {
    set +e # stop everything, whatever fails
    [ -n "$program" ] && kill "$program" 2>/dev/null
    timeout 20 wineserver -k 2>/dev/null
    [ -n "$openbox" ] && kill "$openbox" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    return 0
}
trap cleanup EXIT

now_ms() {
    echo $(($(date +%s%N) / 1000000))
}

# A display of our own: Xvfb picks a free number and writes it once it accepts connections.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$displayfile" ] && break
    kill -0 "$xvfb" 2>/dev/null || fail "Xvfb did not start"
    sleep 0.1
done
[ -s "$displayfile" ] || fail "Xvfb gave no display number"
DISPLAY=:$(head -n 1 "$displayfile")
export DISPLAY
rm -f "$displayfile"
openbox >/dev/null 2>&1 &
openbox=$!
step "display $DISPLAY (Xvfb $xvfb, openbox $openbox)"

step "fresh wine prefix $WINEPREFIX"
start=$(now_ms)
timeout 20 wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
timeout 300 wineboot -i >/dev/null 2>&1 || fail "wineboot could not make the prefix"
timeout 60 wineserver -w || fail "the prefix's wineserver did not settle"
# Debian's wine 8.0 looks for its own fonts under "/usr/share/wine/../fonts", a path it cannot open, and
# would fall back to a serif face: put them where Windows keeps its fonts.
cp /usr/share/wine/fonts/* "$drive_c/windows/Fonts/"
echo "made in $(($(now_ms) - start)) ms"

step "silent install: $(basename "$setup") /S"
start=$(now_ms)
timeout 120 wine "$setup" /S || fail "the installer exited with status $?"
timeout 60 wineserver -w || true
echo "installed in $(($(now_ms) - start)) ms"
installed=(liaison-serie.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libstdc++-6.dll libgcc_s_seh-1.dll
           libwinpthread-1.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll uninstall.exe)
for file in "${installed[@]}"; do
    [ -f "$instdir/$file" ] || fail "not installed: $instdir/$file"
done
cmp -s "$build/liaison-serie-$version-win64/liaison-serie.exe" "$instdir/liaison-serie.exe" ||
    fail "the installed liaison-serie.exe is not the packaged one"
[ -f "$shortcut" ] || fail "no Start-menu shortcut: $shortcut"
grep -qa 'liaison-serie.exe' "$shortcut" || fail "the shortcut does not name liaison-serie.exe"
# reg query prints in the OEM code page; reg export writes UTF-16, which keeps the "é".
read_uninstall_key() {
    local file=$WINEPREFIX/uninstall-key.reg
    rm -f "$file"
    timeout 60 wine reg export "$uninstall_key" 'C:\uninstall-key.reg' /y >/dev/null 2>&1 || return 1
    mv "$drive_c/uninstall-key.reg" "$file"
    iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r'
}
registry=$(read_uninstall_key) || fail "no Add/Remove Programs entry $uninstall_key"
for value in DisplayName DisplayVersion DisplayIcon UninstallString Publisher; do
    grep -q "^\"$value\"=" <<<"$registry" || fail "the Add/Remove Programs entry lacks $value"
done
grep -qxF "\"DisplayName\"=\"$title\"" <<<"$registry" || fail "DisplayName is not \"$title\": $registry"
grep -qxF "\"DisplayVersion\"=\"$version\"" <<<"$registry" || fail "DisplayVersion is not $version"
grep -qF "\"DisplayIcon\"=\"C:\\\\Program Files\\\\$title\\\\liaison-serie.exe" <<<"$registry" ||
    fail "DisplayIcon does not name the installed program"
echo "$(find "$instdir" -type f | wc -l) files, $(du -sk "$instdir" | cut -f1) KiB in $instdir"
echo "shortcut: ${shortcut#"$drive_c"/}"
grep '^"' <<<"$registry" | sed 's/^/registry: /'

# Starts the program with the command given, waits for its window, and leaves the milliseconds that took
# in $elapsed, the window's id in $window and the program's process in $app. With detached=1 the command
# only launches the program and returns at once (wine start with a shortcut).
window='' app='' elapsed=0 detached=0
start_program() {
    local begin
    begin=$(now_ms)
    "$@" >/dev/null 2>&1 &
    program=$!
    window=''
    while [ $(($(now_ms) - begin)) -lt 60000 ]; do
        window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1) || true
        [ -n "$window" ] && break
        [ "$detached" -eq 1 ] || kill -0 "$program" 2>/dev/null || fail "the program ended before showing its window"
        sleep 0.02
    done
    [ -n "$window" ] || fail "no window \"$title\" within 60 s"
    elapsed=$(($(now_ms) - begin))
    app=$(xdotool getwindowpid "$window") || fail "the window names no process"
}

# Closes the window as a user would (Alt+F4 on the focused window) and waits for the program to end.
close_program() {
    xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
    xdotool key --clearmodifiers alt+F4
    for _ in $(seq 200); do
        kill -0 "$app" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$app" 2>/dev/null && fail "the program did not end within 10 s of Alt+F4"
    local status=0
    wait "$program" || status=$?
    program=''
    [ "$status" -eq 0 ] || fail "the program ended with status $status"
}

step "start through the Start-menu shortcut"
# wine start opens the shortcut as Explorer would and returns at once.
detached=1
start_program timeout 120 wine start /unix "$shortcut"
detached=0
echo "window shown after $elapsed ms (first start, through the shortcut)"
geometry=$(xdotool getwindowgeometry "$window" | sed -n 's/^ *Geometry: //p')
[ "$geometry" = "433x193" ] || fail "the window's client area is $geometry, not 433x193"
echo "client area $geometry"
sleep 1 # let the first paint land
import -window "$window" "$build/window-wine.png" || fail "no picture of the window"
echo "picture: $build/window-wine.png ($(identify -format '%wx%h' "$build/window-wine.png"))"
close_program

step "$runs direct starts"
times=()
for i in $(seq "$runs"); do
    start_program timeout 120 wine "$instdir/liaison-serie.exe"
    times+=("$elapsed")
    echo "start $i: window shown after $elapsed ms"
    close_program
done
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }')
echo "start to window shown: median $median ms over $runs starts (${times[*]} ms)"

step "silent uninstall: uninstall.exe /S"
timeout 120 wine "$instdir/uninstall.exe" /S || fail "the uninstaller exited with status $?"
# The uninstaller runs on from a copy of itself in the temporary folder: wait for every wine process.
timeout 60 wineserver -w || fail "the uninstaller did not finish within 60 s"
[ ! -e "$instdir" ] || fail "left after uninstalling: $(cd "$instdir" && find . | tr '\n' ' ')"
[ ! -e "$shortcut" ] || fail "the Start-menu shortcut is left after uninstalling"
if read_uninstall_key >/dev/null; then
    fail "the Add/Remove Programs entry is left after uninstalling"
fi
echo "program folder, shortcut and Add/Remove Programs entry removed"
step "OK"
