#!/usr/bin/env bash
# Builds the Debian package (release preset) into build/release/liaison-serie_<version>_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh dpkg-dev file
cmake --preset release >/dev/null
cmake --build --preset release
(cd build/release && cpack -G DEB)
