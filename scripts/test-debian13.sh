#!/usr/bin/env bash
# Runs a command of this tree on a bare Debian 13 (trixie), from a Debian 12 or 13 machine, as root: makes
# a minimal Debian 13 with debootstrap (no locale, no display), clones the tree's HEAD into it with git
# (or, from a source tree with no .git, copies the tree as it is, less build/), and runs the command there in a bare environment, with /proc, /sys (read-only) and a small /dev of its
# own (null, zero, full, random, urandom, tty, a private devpts, /dev/shm), as a container has them.
#   scripts/test-debian13.sh                         lint the package, then scripts/test.sh
#   scripts/test-debian13.sh 'scripts/test-windows.sh'   any command, run in the clone
# Those mounts live in a mount namespace of their own (unshare): the machine never sees them, and they go
# when the command ends, however it ends.
# LIAISON_DEBIAN13_ROOT=/some/dir keeps the system there (made if missing, reused, left in place), with
# the clone in /root/${LIAISON_DEBIAN13_CLONE:-liaison-serie}; without it the system is made in a fresh
# folder under /tmp and removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "$0: run as root (debootstrap, chroot)" >&2; exit 1; }
command=${1:-scripts/lint-package.sh && scripts/test.sh}
clone=${LIAISON_DEBIAN13_CLONE:-liaison-serie}
case "$clone" in */* | . | .. | '') echo "LIAISON_DEBIAN13_CLONE is a plain name" >&2; exit 1 ;; esac

# A source archive has no .git: it is copied instead of cloned, and needs no git.
if [ -e "$here/.git" ]; then
    "$here/scripts/install-deps.sh" debootstrap git
else
    "$here/scripts/install-deps.sh" debootstrap
fi

# The machine's own Debian mirror (the one its apt uses), else Debian's.
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n 1 || true)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb  *\(\[[^]]*\]  *\)\{0,1\}\([^ ]*\).*/\2/p' /etc/apt/sources.list 2>/dev/null |
    grep -v security | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}

# Anything mounted at or under a folder, deepest first.
mounts_under() { findmnt -rn -o TARGET | awk -v r="$1" '$0 == r || index($0, r "/") == 1' | sort -r; }

# Removes a folder that nothing is mounted in (the mounts of this script's namespaces are never seen
# here, but an interrupted debootstrap may leave its /proc): unmounts first, then checks, and never
# crosses into another file system.
remove_tree() {
    local dir=$1 m
    for m in $(mounts_under "$dir"); do umount "$m" || umount -l "$m" || true; done
    if [ -n "$(mounts_under "$dir")" ]; then
        echo "still mounted under $dir, left in place:" >&2
        mounts_under "$dir" >&2
        return 1
    fi
    rm -rf --one-file-system "$dir"
}

if [ -n "${LIAISON_DEBIAN13_ROOT:-}" ]; then
    root=$(realpath -m "$LIAISON_DEBIAN13_ROOT")
    [ "$root" != / ] || { echo "LIAISON_DEBIAN13_ROOT cannot be /" >&2; exit 1; }
    keep=1
else
    root=$(mktemp -d /tmp/liaison-debian13.XXXXXX)
    # mktemp makes it private; inside, it is the system's / and every user must be able to pass it, as on
    # any system (the lock tests run parts of themselves as another user).
    chmod 755 "$root"
    keep=0
fi
# The processes running inside the system, by id: those whose root directory is it. A daemon that a test
# left behind would keep the namespace, and so its mounts, alive.
chroot_processes() {
    local proc
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && echo "${proc#/proc/}"
    done
    return 0
}
cleanup() {
    local status=$? left
    if [ "$keep" = 0 ]; then
        set +e
        left=$(chroot_processes)
        # shellcheck disable=SC2086 # one id a word
        [ -z "$left" ] || { kill $left 2>/dev/null; sleep 2; }
        left=$(chroot_processes)
        # shellcheck disable=SC2086
        [ -z "$left" ] || { kill -KILL $left 2>/dev/null; sleep 1; }
        remove_tree "$root" || status=1
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start=$(date +%s)
if [ ! -x "$root/usr/bin/apt-get" ]; then
    echo "== debootstrap trixie into $root ($mirror)"
    mkdir -p "$root"
    # In a mount namespace of its own, so that its /proc never stays mounted here.
    unshare --mount --propagation private \
        debootstrap --variant=minbase trixie "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
        { tail -n 30 "$root.debootstrap.log" >&2; exit 1; }
    rm -f "$root.debootstrap.log"
fi
# No service starts inside; the machine's name servers.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
booted=$(date +%s)

[ ! -e "$root/root/$clone" ] || remove_tree "$root/root/$clone"
if [ -e "$here/.git" ]; then
    echo "== git clone of $(git -C "$here" rev-parse --short HEAD) into $root/root/$clone"
    git clone -q --no-hardlinks "$here" "$root/root/$clone"
else
    echo "== copy of $here (no .git) into $root/root/$clone"
    mkdir "$root/root/$clone"
    tar -C "$here" --exclude=./build --exclude='./build-*' -cf - . | tar -C "$root/root/$clone" -xf -
fi

echo "== in Debian 13: $command"
status=0
unshare --mount --propagation private /bin/bash -s "$root" "$clone" "$command" <<'INSIDE' || status=$?
set -euo pipefail
root=$1 clone=$2 command=$3
mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
mount -t tmpfs -o mode=755,nosuid,size=64m dev "$root/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$node"
    mknod -m 666 "$root/dev/$name" c "$major" "$minor"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root CI="${CI:-}" \
    /bin/bash -c "cd /root/$clone && $command" </dev/null
INSIDE
end=$(date +%s)
echo "Debian 13: system $((booted - start)) s, command $((end - booted)) s, status $status"
exit "$status"
