#!/usr/bin/env bash
# Installs what is missing, builds the player (in build/play) and plays the song.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh play
cmake --preset play >/dev/null
cmake --build --preset play -j"$(nproc)"
exec build/play/app/wave
