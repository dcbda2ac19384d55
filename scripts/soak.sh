#!/usr/bin/env bash
# The full soak run: 1,000,000 bytes by Envoyer and by the call buttons, 100,000 answers in bursts,
# random line noise, a hang-up in the middle of a send, 1,000 open/close cycles. The test suite runs
# the same test at a tenth of that. A scale may be given: scripts/soak.sh 2
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tst_soak
QT_QPA_PLATFORM=offscreen LIAISON_SOAK_SCALE=${1:-1} build/release/tests/tst_soak
