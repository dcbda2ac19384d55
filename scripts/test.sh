#!/usr/bin/env bash
# Installs what is needed, builds and runs every test twice: in the default build, then under
# AddressSanitizer and UndefinedBehaviorSanitizer (no display needed). The test that runs the console
# inside a QEMU guest, on a real UART driver, runs in the default build only.
#   scripts/test.sh             both builds
#   scripts/test.sh default     the default build only
set -euo pipefail
cd "$(dirname "$0")/.."
# man-db and groff for the manual pages' rendering, as lintian does it; QEMU, a kernel and a static
# busybox for the guests that run the console on real UART and USB drivers; Qt's private QPA interface,
# an X server, a window manager and xdotool for the tests that send the window system's own close request.
scripts/install-deps.sh desktop-file-utils appstream man-db groff-base qt6-base-private-dev \
    qemu-system-x86 linux-image-amd64 busybox-static xz-utils xvfb xauth openbox xdotool x11-utils
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan)
for preset in "${presets[@]}"; do
    echo "== $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
