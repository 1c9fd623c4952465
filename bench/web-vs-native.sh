#!/usr/bin/env bash
# The browser's render against the native one-thread render, side by side in one
# run on this machine: wave-render --threads 1 as a whole process (hyperfine,
# the fastest of the runs), and the web player's module under node, timed as the
# page's worker calls it (the fastest warm render of as many). Prints both and
# the ratio, and checks that the module's PCM is the pinned one. Builds nothing.
#   bench/web-vs-native.sh [--runs N] [BUILD_DIR]   (default: 10 runs, build/release)
# WEB_BUILD names the web build (default build/web).
set -euo pipefail

source "$(dirname "$0")/options.sh"
bench_options web-vs-native.sh 10 "$@"
command -v hyperfine >/dev/null || { echo "web-vs-native.sh: needs hyperfine (apt-get install hyperfine)" >&2; exit 1; }
command -v node >/dev/null || { echo "web-vs-native.sh: needs node" >&2; exit 1; }
render=$build/tools/wave-render
module=${WEB_BUILD:-build/web}/site/wave_web.js
bench_built web-vs-native.sh "$render"
[ -f "$module" ] || { echo "web-vs-native.sh: $module is not built" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
hyperfine -N --style none --warmup 1 --runs "$runs" --export-csv "$tmp/native.csv" \
    "$render --threads 1 -q --format wav /dev/null" >/dev/null
# CSV columns: command, mean, stddev, median, user, system, min, max (seconds).
native=$(awk -F, 'NR == 2 { print $7 }' "$tmp/native.csv")
read -r web hash < <(node "$(dirname "$0")/web_render.js" "$module" "$runs")
golden=$(cat "$(dirname "$0")/../tests/golden_pcm.sha256")
[ "$hash" = "$golden" ] || { echo "web-vs-native.sh: the module's PCM is not the pinned one ($hash)" >&2; exit 1; }

awk -v n="$native" -v w="$web" -v runs="$runs" 'BEGIN {
    printf "native, wave-render --threads 1 (fastest of %d): %6.3f s\n", runs, n
    printf "web, the module under node (fastest of %d):     %6.3f s\n", runs, w
    printf "ratio: %.2f\n", w / n
}'
