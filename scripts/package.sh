#!/usr/bin/env bash
# Builds the Debian package (release preset) into build/release/liaison-serie_<version>_amd64.deb.
# Only what the package installs is built: the two programs, their manual pages and the changelog, and
# the technician's guide.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh dpkg-dev file
umask 022 # the package's directories and files take the build's modes
cmake --preset release >/dev/null
cmake --build --preset release --target liaison-serie liaison-sim liaison_packaging_files liaison_guide
rm -f build/release/liaison-serie_*.deb
(cd build/release && cpack -G DEB)
