#!/usr/bin/env bash
# Builds the Debian package and holds it to lintian: any error or warning fails (info notes are
# shown, not fatal).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh lintian
scripts/package.sh
lintian --fail-on error,warning --tag-display-limit 0 --display-info build/release/liaison-serie_*.deb
echo "lintian: no error, no warning"
