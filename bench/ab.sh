#!/usr/bin/env bash
# A/B of two builds of wave-render, whole processes, in interleaved runs: each
# round runs A and B once on 1 thread and once on 2, in alternating order, so
# that the machine's slow and fast spells fall on both alike. Prints the median
# of each and B's time as a share of A's. Both must write the same WAV.
#   bench/ab.sh [--runs N] A_RENDER B_RENDER   (default: 20 rounds)
set -euo pipefail

runs=20
programs=()
while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=${2-}; shift; shift || true ;;
    -h | --help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "ab.sh: unknown option '$1'" >&2; exit 2 ;;
    *) programs+=("$1"); shift ;;
    esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "ab.sh: --runs takes a positive number" >&2; exit 2; }
[ ${#programs[@]} -eq 2 ] || { echo "ab.sh: give two wave-render programs, A and B" >&2; exit 2; }
a=${programs[0]} b=${programs[1]}
for program in "$a" "$b"; do
    [ -x "$program" ] || { echo "ab.sh: $program is not a program" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$a" -q "$tmp/a.wav"
"$b" -q "$tmp/b.wav"
cmp -s "$tmp/a.wav" "$tmp/b.wav" || { echo "ab.sh: A and B write different files" >&2; exit 1; }

# time_ms PROGRAM THREADS: one run's wall time in milliseconds.
time_ms() {
    local start=$EPOCHREALTIME
    "$1" --threads "$2" -q --format wav /dev/null
    local end=$EPOCHREALTIME
    echo "(${end/./} - ${start/./}) / 1000" | bc
}

for threads in 1 2; do
    "$a" --threads "$threads" -q --format wav /dev/null  # warm-up
    "$b" --threads "$threads" -q --format wav /dev/null
done
for ((round = 0; round < runs; round++)); do
    for threads in 1 2; do
        if ((round % 2 == 0)); then order="a b"; else order="b a"; fi
        for which in $order; do
            program=$a
            [ "$which" = b ] && program=$b
            echo "$which $threads $(time_ms "$program" "$threads")" >>"$tmp/times"
        done
    done
done

median() {  # median WHICH THREADS
    awk -v w="$1" -v t="$2" '$1 == w && $2 == t { print $3 }' "$tmp/times" | sort -n |
        awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
for threads in 1 2; do
    ma=$(median a "$threads") mb=$(median b "$threads")
    awk -v t="$threads" -v a="$ma" -v b="$mb" -v runs="$runs" 'BEGIN {
        printf "%d thread(s), %d runs each: A median %.1f ms, B median %.1f ms, B/A %.3f\n", t, runs, a, b, b / a }'
done
