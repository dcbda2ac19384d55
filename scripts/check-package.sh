#!/usr/bin/env bash
# Installs the Debian package on a clean system of this machine's own Debian release (12 or 13), made
# with debootstrap, starts the console there under Xvfb and checks that its window appears. Needs root.
# Leaves a screenshot in build/package-check/window.png. Takes a few minutes (the clean system is downloaded).
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "check-package.sh must run as root (debootstrap, chroot)" >&2; exit 2; }
scripts/package.sh
scripts/install-deps.sh debootstrap imagemagick
deb=$(ls -t build/release/liaison-serie_*_amd64.deb | head -n 1)

# The Debian mirror this machine already uses.
mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)

out=build/package-check
mkdir -p "$out"
root=$(mktemp -d /tmp/liaison-clean.XXXXXX)
# The processes running inside the clean system, by id: those whose root directory is it.
chroot_processes() {
    local proc
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && echo "${proc#/proc/}"
    done
    return 0
}
cleanup() {
    set +e # stop everything, whatever fails
    local left
    left=$(chroot_processes)
    if [ -n "$left" ]; then
        # shellcheck disable=SC2086 # one id a word
        kill $left 2>/dev/null
        sleep 1
        left=$(chroot_processes)
        # shellcheck disable=SC2086
        [ -n "$left" ] && kill -KILL $left 2>/dev/null
    fi
    umount -l "$root/proc" "$root/dev" 2>/dev/null
    rm -rf --one-file-system "$root"
    return 0
}
trap cleanup EXIT

# The package depends on the libraries of the release it was built on.
release=$(. /etc/os-release && echo "${VERSION_ID:-} ${VERSION_CODENAME:-}")
echo "== clean Debian ${release% *} in $root"
debootstrap --variant=minbase "${release#* }" "$root" "$mirror" >"$out/debootstrap.log" 2>&1
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
cp "$deb" "$root/tmp/"

echo "== apt-get install ./$(basename "$deb")"
chroot "$root" apt-get update -qq
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./tmp/$(basename "$deb")" \
    >"$out/install.log" 2>&1
chroot "$root" dpkg -s liaison-serie | grep -E '^(Status|Version|Depends):'
# Only the tools to look at the window; the program's own needs came with the package.
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    xvfb xdotool x11-apps >>"$out/install.log" 2>&1

echo "== start liaison-serie under Xvfb"
# Xvfb picks a free display itself (-displayfd); both it and the console are ended by their process ids
# when the shell ends, however it ends.
chroot "$root" sh -c '
    set -e
    xvfb="" console=""
    stop() {
        [ -z "$console" ] || kill "$console" 2>/dev/null || true
        [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
        wait
    }
    trap stop EXIT
    trap "exit 1" HUP INT TERM
    rm -f /tmp/display
    Xvfb -displayfd 3 -screen 0 640x400x24 -nolisten tcp 3>/tmp/display >/dev/null 2>&1 &
    xvfb=$!
    tries=0
    while [ ! -s /tmp/display ]; do
        kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || { echo "Xvfb gave no display number" >&2; exit 1; }
        sleep 0.1
    done
    DISPLAY=:$(head -n 1 /tmp/display)
    export DISPLAY
    echo "display $DISPLAY (Xvfb $xvfb)"
    liaison-serie >/tmp/console.log 2>&1 &
    console=$!
    timeout 20 xdotool search --sync --onlyvisible --name "Test liaison série" >/tmp/window.id ||
        { echo "no window within 20 s; the console said:" >&2; cat /tmp/console.log >&2; exit 1; }
    sleep 0.5
    xwd -root -silent >/tmp/window.xwd
    xdotool getwindowgeometry "$(head -n 1 /tmp/window.id)"
'
left=$(chroot_processes)
[ -z "$left" ] || { echo "check-package: left running in the clean system: $left" >&2; exit 1; }
convert "xwd:$root/tmp/window.xwd" -crop 440x200+0+0 "$out/window.png"
echo "== the window appeared; screenshot: $out/window.png"
