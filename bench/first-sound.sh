#!/usr/bin/env bash
# Measures the player's time to first sound: from the start of `wave` to the
# moment its first frame reaches the audio device, here ALSA's file plugin
# writing into a named pipe whose reader, started before the clock, stamps the
# first byte. Each timed run follows an untimed one, as hyperfine's warm-up does
# in compare.sh: the first run after the machine has idled or worked on something
# else is slowed by the machine, not by the player. Runs the literal render
# (wave-literal) as many times, interleaved, and prints both medians and their
# ratio.
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
mkfifo "$tmp/device"
cat >"$tmp/asound.conf" <<CONF
pcm.!default { type file; slave.pcm { type null }; file "$tmp/device"; format "raw" }
CONF

now_ns() { echo "${EPOCHREALTIME/./}000"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$tmp/first"
: >"$tmp/literal"
for ((i = 0; i < runs; i++)); do
    for run in warm-up timed; do  # only the second is timed
        rm -f "$tmp/stamp"
        # The reader waits on the pipe before the clock starts, so that its own
        # start-up is not counted; the pipe opens once wave opens the device.
        "$stamper" "$tmp/stamp" <"$tmp/device" &
        reader=$!
        start=$(now_ns)
        if ! ALSA_CONFIG_PATH=$tmp/asound.conf "$wave" </dev/null >/dev/null 2>"$tmp/wave.err"; then
            echo "first-sound.sh: wave failed:" >&2
            cat "$tmp/wave.err" >&2
            kill "$reader" 2>/dev/null
            exit 1
        fi
        # A reader still waiting for the pipe to open means no sound came.
        for _ in $(seq 100); do kill -0 "$reader" 2>/dev/null || break; sleep 0.05; done
        if kill "$reader" 2>/dev/null; then wait "$reader" 2>/dev/null || true; fi
        [ -s "$tmp/stamp" ] || { echo "first-sound.sh: no sound reached the device" >&2; exit 1; }
    done
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
