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

source "$(dirname "$0")/render_common.sh"
# decode_stems DIR TYPE: every WAV stem in DIR as raw TYPE (f32 or s16) beside it,
# their names in $decoded.
decode_stems() {
    decoded=()
    local stem
    for stem in "$1"/*.wav; do
        sox "$stem" -t "$2" "${stem%.wav}.$2" || fail "cannot read $stem"
        decoded+=("${stem%.wav}.$2")
    done
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
stems_sum_to_the_mix)
    # The float stems add up to the float mix within the bound of their float
    # additions: the mix rounds 28 partial sums, the stems 4 each, all below 8 in
    # magnitude (at most 5.9 with every echo at its peak), so each rounding is at
    # most 2^-22, and after the exact scaling by 1/4 the sums differ by at most
    # (28 + 28) * 2^-22 / 4 = 14 * 2^-22.
    expect_status 0 "$render" -q --float --full mix.wav
    expect_status 0 "$render" -q --float --full --stems floats
    sox mix.wav -t f32 mix.f32 || fail "cannot read the mix"
    decode_stems floats f32
    [ ${#decoded[@]} -eq 7 ] || fail "${#decoded[@]} float stems: $(ls floats)"
    "$stem_sum" "$(python3 -c 'print(14 * 2**-22)')" f32 mix.f32 "${decoded[@]}" ||
        fail "the float stems do not sum to the mix"
    # The 16-bit stems each truncate on their own: their sum is within 7 steps of
    # the mix's own truncation, plus one for the mix, plus the float bound above.
    expect_status 0 "$render" -q --full mix16.wav
    expect_status 0 "$render" -q --stems pcm16
    sox mix16.wav -t s16 mix16.s16 || fail "cannot read the 16-bit mix"
    decode_stems pcm16 s16
    "$stem_sum" 8 s16 mix16.s16 "${decoded[@]}" || fail "the 16-bit stems do not sum to the mix"
    expected=$("$song_dump" stems | while read -r stem; do printf '%s.s16 %s.wav ' "$stem" "$stem"; done)
    [ "$(ls pcm16 | tr '\n' ' ')" = "$expected" ] || fail "the stems are named $(ls pcm16), not $expected"
    # Any format: FLAC stems decode to the WAV stems' samples.
    expect_status 0 "$render" -q --stems flac --format flac
    for stem in pcm16/*.wav; do
        base=$(basename "$stem" .wav)
        cmp -s <(sox "flac/$base.flac" -t s16 -) "pcm16/$base.s16" || fail "flac/$base.flac differs from its WAV stem"
    done
    ;;
stems_as_a_set)
    # An existing folder is written into, its other files kept; a missing one is made.
    mkdir existing && echo keep >existing/notes.txt
    expect_status 0 "$render" -q --stems existing
    [ "$(cat existing/notes.txt)" = keep ] || fail "a file in the folder was changed"
    [ "$(ls existing | wc -l)" -eq 8 ] || fail "the folder holds $(ls -A existing)"
    expect_status 0 "$render" -q --stems made/on/the/way
    [ "$(ls made/on/the/way | wc -l)" -eq 7 ] || fail "the made folder holds $(ls -A made/on/the/way)"
    # Usage errors: two lines, status 2.
    for args in "--stems a out.wav" "--stems=" "--stems a --format midi"; do
        # shellcheck disable=SC2086
        expect_status 2 "$render" $args
    done
    # Failures leave no partial set: a stem that cannot be put in place (a folder
    # of its name), a folder that is a file, a stop signal in mid-set.
    mapfile -t stems < <("$song_dump" stems)
    mkdir -p "blocked/${stems[3]}.wav" && echo old >"blocked/${stems[0]}.wav"
    expect_status 1 "$render" -q --stems blocked
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "expected one line: $(cat "$work/err")"
    [ "$(cat "blocked/${stems[0]}.wav")" = old ] || fail "a stem was put in place although the set failed"
    [ "$(ls -A blocked | tr '\n' ' ')" = "${stems[0]}.wav ${stems[3]}.wav " ] || fail "left behind: $(ls -A blocked)"
    echo file >plain
    expect_status 1 "$render" -q --stems plain
    mkdir stopped
    "$render" -q --threads 1 --stems stopped --format flac &
    pid=$!
    sleep 1
    kill -TERM $pid
    wait $pid
    [ $? -eq 143 ] || fail "SIGTERM did not end the render"
    [ -z "$(ls -A stopped)" ] || fail "a stopped set left $(ls -A stopped)"
    # A disk that fills up in mid-set, where a small filesystem can be mounted.
    mkdir small
    if mount -t tmpfs -o size=40m tmpfs small 2>/dev/null; then
        expect_status 1 "$render" -q --stems small/stems
        left=$(ls -A small/stems 2>/dev/null)
        umount small
        [ -z "$left" ] || fail "a full disk left $left"
    fi
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS [$case_name]"
