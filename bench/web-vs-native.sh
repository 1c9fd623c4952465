#!/usr/bin/env bash
# The browser's render against the native one-thread render, side by side in one
# run on this machine: wave-render --threads 1 as a whole process (hyperfine,
# the fastest of the runs), and the web player's two modules under node, timed
# as the page's worker calls them (the fastest warm render of as many): on one
# thread (wave_web, the page as any server serves it) and on two
# (wave_web_threads, the page served cross-origin isolated). Prints the times
# and each module's ratio to the native one, and checks that both modules' PCM
# is the pinned one. Builds nothing.
#   bench/web-vs-native.sh [--runs N] [BUILD_DIR]   (default: 10 runs, build/release)
# WEB_BUILD names the web build (default build/web).
set -euo pipefail

source "$(dirname "$0")/options.sh"
bench_options web-vs-native.sh 10 "$@"
command -v hyperfine >/dev/null || { echo "web-vs-native.sh: needs hyperfine (apt-get install hyperfine)" >&2; exit 1; }
command -v node >/dev/null || { echo "web-vs-native.sh: needs node" >&2; exit 1; }
render=$build/tools/wave-render
site=${WEB_BUILD:-build/web}/site
bench_built web-vs-native.sh "$render"
for module in wave_web wave_web_threads; do
    [ -f "$site/$module.js" ] || { echo "web-vs-native.sh: $site/$module.js is not built" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
hyperfine -N --style none --warmup 1 --runs "$runs" --export-csv "$tmp/native.csv" \
    "$render --threads 1 -q --format wav /dev/null" >/dev/null
# CSV columns: command, mean, stddev, median, user, system, min, max (seconds).
native=$(awk -F, 'NR == 2 { print $7 }' "$tmp/native.csv")
golden=$(cat "$(dirname "$0")/../tests/golden_pcm.sha256")
printf "native, wave-render --threads 1 (fastest of %d): %6.3f s\n" "$runs" "$native"
for module in wave_web wave_web_threads; do
    read -r web hash < <(node "$(dirname "$0")/web_render.js" "$site/$module.js" "$runs")
    [ "$hash" = "$golden" ] || { echo "web-vs-native.sh: $module's PCM is not the pinned one ($hash)" >&2; exit 1; }
    awk -v n="$native" -v w="$web" -v m="$module" -v runs="$runs" 'BEGIN {
        printf "web, %s under node (fastest of %d): %6.3f s, ratio %.2f\n", m, runs, w, w / n
    }'
done
