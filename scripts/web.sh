#!/usr/bin/env bash
# Installs what is missing, builds the web player and serves it on the loopback
# address: open the printed address in a browser. PORT overrides 8000.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh web

cmake --preset web >/dev/null
cmake --build --preset web --target wave_web wave_web_threads -j"$(nproc)"

port=${PORT:-8000}
case $port in
'' | *[!0-9]*) echo "web.sh: PORT must be a number, not '$port'" >&2; exit 2 ;;
esac
exec python3 scripts/serve_web.py "$port" build/web/site
