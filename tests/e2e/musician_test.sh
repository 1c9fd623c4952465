#!/usr/bin/env bash
# What wave-render gives a musician: the score as a MIDI file, read back by mido,
# and each track as a stem, checked against the mix.
#
# usage: musician_test.sh CASE WAVE_RENDER SONG_DUMP STEM_SUM
set -u
case_name=$1 render=$2 song_dump=$3 stem_sum=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run" && cd "$work/run" || exit 1

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }
expect_status() {  # expect_status STATUS COMMAND...
    local want=$1
    shift
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    [ $got -eq "$want" ] || fail "$*: exit status $got, expected $want: $(cat "$work/err")"
}

case $case_name in
score_reads_back)
    # By extension and by --format; each read back against the song data.
    "$song_dump" >"$work/song" || fail "song_dump failed"
    expect_status 0 "$render" song.mid
    expect_status 0 "$render" --format midi score.bin
    cmp -s song.mid score.bin || fail "--format midi wrote another file"
    /usr/bin/python3 "$(dirname "$0")/score_check.py" song.mid "$work/song" || fail "the score does not read back as the song"
    # The score is not sound: --float has no meaning there.
    expect_status 2 "$render" --float song2.mid
    [ ! -e song2.mid ] || fail "a refused score was written"
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS [$case_name]"
