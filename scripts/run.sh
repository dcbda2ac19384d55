#!/usr/bin/env bash
# Installs what is needed, builds the console and the device simulator, starts the simulator in the
# background on a fresh pseudo-terminal, then the console. Type the number it prints in the Com box.
# With --no-sim, starts the console alone (for a real serial port).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target liaison-serie liaison-sim

if [ "${1:-}" = "--no-sim" ]; then
    exec build/release/console/liaison-serie
fi

log=$(mktemp -t liaison-sim.XXXXXX)
build/release/sim/liaison-sim >"$log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; echo; echo "Ce que le simulateur a reçu :"; cat "$log"; rm -f "$log"' EXIT
for _ in $(seq 50); do
    grep -q '^Port ' "$log" && break
    sleep 0.1
done
head -n 1 "$log"
echo "(Le simulateur affiche chaque trame reçue dans $log ; tail -f $log pour les suivre.)"
build/release/console/liaison-serie
