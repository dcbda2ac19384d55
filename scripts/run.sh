#!/usr/bin/env bash
# Installs what is needed, builds the optimised console and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target liaison-serie
exec build/release/console/liaison-serie
