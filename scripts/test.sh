#!/usr/bin/env bash
# Installs what is needed, builds and runs every test twice: in the default build, then under
# AddressSanitizer and UndefinedBehaviorSanitizer (no display needed).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh desktop-file-utils appstream groff-base
for preset in default asan; do
    echo "== $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
