#!/usr/bin/env bash
# Installs what is missing, builds the player and plays the song.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh play
bash scripts/configure.sh play build/release
cmake --build build/release --target wave -j"$(nproc)"
exec build/release/app/wave
