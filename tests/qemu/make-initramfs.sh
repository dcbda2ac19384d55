#!/usr/bin/env bash
# Writes the guest's initramfs: a static busybox, the kernel modules that mount the host's files over
# virtio-9p (those the kernel does not have built in), any further modules asked for (a rig's drivers,
# named as their files are: cdc-acm), and the guest's init.
# Usage: make-initramfs.sh OUTPUT KERNEL_VERSION [MODULE...]
set -euo pipefail
out=$1
version=$2
shift 2
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

# A driver the kernel has built in (Debian 13's has virtio_pci) needs nothing: modules.builtin lists
# those, as the files they would be. Module names take _ and - alike.
builtin() {
    local name=${1//-/_}
    # Not grep -q: it would stop reading early, and under pipefail sed's broken pipe fails the test.
    [ -r "$modules/modules.builtin" ] && sed 's/-/_/g' "$modules/modules.builtin" | grep -E "(^|/)$name\.ko$" >/dev/null
}

# A module as the guest's insmod reads it: uncompressed (Debian 13 ships its modules xz-compressed).
copy_module() {
    local from=$1 to=$2
    case "$from" in
        *.ko) cp "$from" "$to/$(basename "$from")" ;;
        *.ko.xz) xz -dc "$from" > "$to/$(basename "${from%.xz}")" ;;
        *.ko.gz) gzip -dc "$from" > "$to/$(basename "${from%.gz}")" ;;
        *.ko.zst) zstd -qdc "$from" > "$to/$(basename "${from%.zst}")" ;;
        *) echo "module $from: unknown compression" >&2; exit 1 ;;
    esac
}

# Each module after the ones it needs: modules.dep lists a module's dependencies so that loading them
# from the last to the first works.
loaded=()
add() {
    local name=$1 line deps dep
    builtin "$name" && return 0
    line=$(grep -E "(^|/)$name\.ko(\.[a-z]+)?:" "$modules/modules.dep") ||
        { echo "kernel $version has no module $name, built in or not" >&2; exit 1; }
    read -r -a deps <<< "${line#*:}"
    local i
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do
        dep=$(basename "${deps[i]}")
        add "${dep%%.ko*}"
    done
    local file=${line%%:*}
    for l in "${loaded[@]}"; do [ "$l" = "$file" ] && return 0; done
    loaded+=("$file")
    copy_module "$modules/$file" "$root/lib/modules"
    echo "/lib/modules/$(basename "${file%.ko*}").ko" >> "$root/modules"
}
for m in virtio_pci 9pnet_virtio 9p "$@"; do add "$m"; done

touch "$root/modules"
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) > "$out"
