#!/usr/bin/env bash
# Installs what is missing, builds the player and plays the song.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh play
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DWAVE_TESTS=OFF -DWAVE_BENCH=OFF -DWAVE_TOOLS=OFF >/dev/null
cmake --build build/release --target wave -j"$(nproc)"
exec build/release/app/wave
