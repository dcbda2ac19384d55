#!/usr/bin/env bash
# Installs the Debian package on a clean Debian 12 made with debootstrap, starts the console there
# under Xvfb and checks that its window appears. Needs root. Leaves a screenshot in
# build/package-check/window.png. Takes a few minutes (the clean system is downloaded).
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
cleanup() {
    umount -l "$root/proc" "$root/dev" 2>/dev/null || true
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT

echo "== clean Debian 12 in $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$out/debootstrap.log" 2>&1
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
chroot "$root" sh -c '
    Xvfb :9 -screen 0 640x400x24 >/dev/null 2>&1 &
    sleep 1
    DISPLAY=:9 liaison-serie >/tmp/console.log 2>&1 &
    DISPLAY=:9 timeout 20 xdotool search --sync --onlyvisible --name "Test liaison série" >/tmp/window.id
    sleep 0.5
    DISPLAY=:9 xwd -root -silent >/tmp/window.xwd
    DISPLAY=:9 xdotool getwindowgeometry "$(head -n 1 /tmp/window.id)"
    kill %2 %1 2>/dev/null || true
'
convert "xwd:$root/tmp/window.xwd" -crop 440x200+0+0 "$out/window.png"
echo "== the window appeared; screenshot: $out/window.png"
