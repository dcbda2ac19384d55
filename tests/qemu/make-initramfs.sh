#!/usr/bin/env bash
# Writes the guest's initramfs: a static busybox, the kernel modules that mount the host's files over
# virtio-9p, and the guest's init. Usage: make-initramfs.sh OUTPUT KERNEL_VERSION
set -euo pipefail
out=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
modules=/lib/modules/$version
busybox=$(command -v busybox || true)

[ -r "$modules/modules.dep" ] || { echo "no modules for kernel $version in $modules (install linux-image-amd64)" >&2; exit 1; }
[ -n "$busybox" ] || { echo "busybox is missing (install busybox-static)" >&2; exit 1; }
# The guest has no C library: its busybox must be the static one.
if readelf -l "$busybox" | grep -q 'program interpreter'; then
    echo "$busybox is dynamically linked (install busybox-static)" >&2
    exit 1
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,host,lib/modules}
cp "$busybox" "$root/bin/busybox"
cp "$here/init" "$root/init"
chmod 755 "$root/init"

# Each module after the ones it needs: modules.dep lists a module's dependencies so that loading them
# from the last to the first works.
loaded=()
add() {
    local name=$1 line deps dep
    line=$(grep -E "(^|/)$name\.ko(\.[a-z]+)?:" "$modules/modules.dep") ||
        { echo "kernel $version has no module $name" >&2; exit 1; }
    read -r -a deps <<< "${line#*:}"
    local i
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do
        dep=$(basename "${deps[i]}")
        add "${dep%%.ko*}"
    done
    local file=${line%%:*}
    for l in "${loaded[@]}"; do [ "$l" = "$file" ] && return 0; done
    loaded+=("$file")
    cp "$modules/$file" "$root/lib/modules/"
    echo "/lib/modules/$(basename "$file")" >> "$root/modules"
}
for m in virtio_pci 9pnet_virtio 9p; do add "$m"; done

(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) > "$out"
