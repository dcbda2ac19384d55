#!/usr/bin/env bash
# Installs what is needed, builds with the default preset and runs every test (no display needed).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh desktop-file-utils
cmake --preset default
cmake --build --preset default
ctest --preset default
