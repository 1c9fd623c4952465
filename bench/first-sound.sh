#!/usr/bin/env bash
# Measures the player's time to first sound: from the start of `wave` to the
# moment its first frame reaches the audio device, here ALSA's file plugin
# writing into a pipe whose reader stamps the first byte. Runs the literal
# render (wave-literal) as many times, interleaved, and prints both medians and
# their ratio.
#   bench/first-sound.sh [--runs N] [BUILD_DIR]   (default: 9 runs, build/release)
set -euo pipefail

source "$(dirname "$0")/options.sh"
bench_options first-sound.sh 9 "$@"
wave=$build/app/wave
literal=$build/bench/wave-literal
stamper=$build/bench/first-byte
bench_built first-sound.sh "$wave" "$literal" "$stamper"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/asound.conf" <<CONF
pcm.!default { type file; slave.pcm { type null }; file "|$(realpath "$stamper") $tmp/stamp"; format "raw" }
CONF

now_ns() { echo "${EPOCHREALTIME/./}000"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$tmp/first"
: >"$tmp/literal"
for ((i = 0; i < runs; i++)); do
    rm -f "$tmp/stamp"
    start=$(now_ns)
    ALSA_CONFIG_PATH=$tmp/asound.conf "$wave" </dev/null >/dev/null 2>"$tmp/wave.err" ||
        { echo "first-sound.sh: wave failed:" >&2; cat "$tmp/wave.err" >&2; exit 1; }
    # The reader may still be draining the pipe when wave has gone.
    for _ in $(seq 100); do [ -s "$tmp/stamp" ] && break; sleep 0.05; done
    [ -s "$tmp/stamp" ] || { echo "first-sound.sh: no sound reached the device" >&2; exit 1; }
    echo $(($(cat "$tmp/stamp") - start)) >>"$tmp/first"

    start=$(now_ns)
    "$literal" "$tmp/literal.wav"
    echo $(($(now_ns) - start)) >>"$tmp/literal"
done

first=$(median <"$tmp/first")
plain=$(median <"$tmp/literal")
awk -v f="$first" -v p="$plain" -v n="$runs" 'BEGIN {
    printf "time to first sound, median of %d: %8.1f ms\n", n, f / 1e6
    printf "literal render, median of %d:      %8.1f ms\n", n, p / 1e6
    printf "ratio: 1/%.1f of the literal render\n", p / f
}'
