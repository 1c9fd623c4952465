#!/usr/bin/env bash
# Times whole processes side by side with hyperfine: the literal render
# (wave-literal) against wave-render on 1 and 2 threads, each writing a WAV to
# /dev/null; then prints each one's share of the literal render's time. Checks
# first that the literal render and wave-render write the same file.
#   bench/compare.sh [--runs N] [BUILD_DIR]   (default: 10 runs, build/release)
set -euo pipefail

source "$(dirname "$0")/options.sh"
bench_options compare.sh 10 "$@"
command -v hyperfine >/dev/null || { echo "compare.sh: needs hyperfine (apt-get install hyperfine)" >&2; exit 1; }
literal=$build/bench/wave-literal
render=$build/tools/wave-render
bench_built compare.sh "$literal" "$render"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$literal" "$tmp/literal.wav"
"$render" -q "$tmp/render.wav"
if ! cmp -s "$tmp/literal.wav" "$tmp/render.wav"; then
    # The C library's sin may differ from the exact sine in the last place.
    echo "compare.sh: note: the literal render's file differs from wave-render's" >&2
fi

hyperfine -N --style basic --warmup 1 --runs "$runs" --export-csv "$tmp/times.csv" \
    "$literal /dev/null" \
    "$render --threads 1 -q --format wav /dev/null" \
    "$render --threads 2 -q --format wav /dev/null"
echo
# CSV columns: command, mean, stddev, median, user, system, min, max (seconds).
awk -F, -v build="$build/" 'NR == 2 { plain = $4 }
    { sub(build, "", $1) }
    NR >= 2 { printf "%-46s median %8.1f ms   1/%.1f of the literal render\n", $1, $4 * 1e3, plain / $4 }' \
    "$tmp/times.csv"
