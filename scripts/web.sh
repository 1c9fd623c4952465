#!/usr/bin/env bash
# Installs what is missing, builds the web player and serves it on the loopback
# address: open the printed address in a browser. PORT overrides 8000.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh web

cmake --preset web >/dev/null
cmake --build --preset web --target wave_web -j"$(nproc)"

port=${PORT:-8000}
echo "The web player: http://127.0.0.1:$port/ (Ctrl-C stops the server)"
exec python3 -m http.server --bind 127.0.0.1 --directory build/web/site "$port"
