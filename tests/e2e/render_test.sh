#!/usr/bin/env bash
# wave-render, run as a user runs it: every file it writes is decoded by sox,
# an independent reader, and compared with the player's PCM.
#
# usage: render_test.sh CASE WAVE_RENDER GOLDEN_HASH_FILE
set -u
case_name=$1 render=$2 golden=$(cat "$3")

readonly full_frames=7938000 pcm_bytes=31752000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The program runs in a folder of its own; its output and errors are kept apart.
mkdir "$work/run" && cd "$work/run" || exit 1

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }
raw16() { sox "$1" -t raw -e signed -b 16 -L - 2>/dev/null; }  # decode to interleaved 16-bit
frames() { soxi -s "$1"; }
expect_status() {  # expect_status STATUS COMMAND...
    local want=$1
    shift
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    [ $got -eq "$want" ] || fail "$*: exit status $got, expected $want: $(cat "$work/err")"
}
one_error_line() {  # one_error_line PATTERN
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "expected one line on standard error: $(cat "$work/err")"
    grep -q -- "$1" "$work/err" || fail "the error does not say '$1': $(cat "$work/err")"
}
usage_error() {  # usage_error PATTERN: the reason, then a hint at --help
    [ "$(wc -l <"$work/err")" -eq 2 ] || fail "expected a reason and a hint: $(cat "$work/err")"
    grep -q -- "$1" "$work/err" || fail "the error does not say '$1': $(cat "$work/err")"
    grep -q "^Try 'wave-render --help'.$" "$work/err" || fail "no hint at --help"
}
no_leftovers() {  # nothing but the listed names in the folder
    local left
    left=$(ls -A "$1" | grep -v -x -F "${@:2}" || true)
    [ -z "$left" ] || fail "left behind in $1: $left"
}

case $case_name in
wav_is_the_player_pcm)
    expect_status 0 "$render" --full full.wav
    [ ! -s "$work/err" ] || fail "printed on a standard error that is not a terminal: $(cat "$work/err")"
    [ "$(soxi -r full.wav)" = 44100 ] || fail "rate $(soxi -r full.wav)"
    [ "$(soxi -c full.wav)" = 2 ] || fail "channels $(soxi -c full.wav)"
    [ "$(soxi -b full.wav)" = 16 ] || fail "bits $(soxi -b full.wav)"
    [ "$(frames full.wav)" = $full_frames ] || fail "--full has $(frames full.wav) frames"
    [ "$(raw16 full.wav | sha256sum | cut -d' ' -f1)" = "$golden" ] || fail "samples differ from the player's PCM"
    ;;
default_length_ends_at_the_last_sound)
    expect_status 0 "$render" --full full.wav
    expect_status 0 "$render" song.wav
    raw16 full.wav >full.raw
    raw16 song.wav >song.raw
    n=$(stat -c %s song.raw)
    [ "$n" -lt $pcm_bytes ] || fail "the default length kept the trailing silence"
    cmp -s -n "$n" song.raw full.raw || fail "the trimmed samples differ from the full ones"
    [ "$(tail -c 4 song.raw | od -An -tx1 | tr -d ' \n')" != 00000000 ] || fail "the last frame is silent"
    cmp -s <(tail -c +$((n + 1)) full.raw) <(head -c $((pcm_bytes - n)) /dev/zero) ||
        fail "a sound after the end of the trimmed file"
    ;;
flac_decodes_to_the_same_samples)
    expect_status 0 "$render" --full song.flac
    [ "$(raw16 song.flac | sha256sum | cut -d' ' -f1)" = "$golden" ] || fail "FLAC does not decode to the PCM"
    ;;
ogg_has_rate_channels_and_length)
    expect_status 0 "$render" song.ogg
    expect_status 0 "$render" song.wav
    [ "$(soxi -t song.ogg)" = vorbis ] || fail "not Vorbis: $(soxi -t song.ogg)"
    [ "$(soxi -r song.ogg)" = 44100 ] || fail "rate $(soxi -r song.ogg)"
    [ "$(soxi -c song.ogg)" = 2 ] || fail "channels $(soxi -c song.ogg)"
    [ "$(frames song.ogg)" = "$(frames song.wav)" ] || fail "length $(frames song.ogg), expected $(frames song.wav)"
    ;;
same_output_for_every_thread_count)
    expect_status 0 "$render" --threads 1 one.wav
    expect_status 0 "$render" --threads=2 two.wav
    expect_status 0 "$render" --threads 5 five.wav
    cmp -s one.wav two.wav || fail "2 threads wrote other bytes than 1"
    cmp -s one.wav five.wav || fail "5 threads wrote other bytes than 1"
    expect_status 2 "$render" --threads 0 x.wav
    usage_error "--threads takes a number from 1 to 256, not '0'"
    expect_status 2 "$render" --threads lots x.wav
    usage_error "not 'lots'"
    ;;
format_option_overrides_the_extension)
    expect_status 0 "$render" --format FLAC song.wav
    [ "$(soxi -t song.wav)" = flac ] || fail "--format flac wrote $(soxi -t song.wav)"
    ;;
stdout_pipe_equals_the_file)
    expect_status 0 "$render" song.wav
    "$render" - 2>"$work/err" | cat >piped.wav
    [ "${PIPESTATUS[0]}" -eq 0 ] || fail "exit status ${PIPESTATUS[0]}: $(cat "$work/err")"
    cmp -s piped.wav song.wav || fail "standard output differs from the file"
    mkfifo fifo
    cat fifo >from_fifo.wav &
    expect_status 0 "$render" fifo
    wait
    cmp -s from_fifo.wav song.wav || fail "the FIFO got other bytes"
    ;;
float_writes_the_mix)
    expect_status 0 "$render" --float song.wav
    [ "$(soxi -e song.wav)" = "Floating Point PCM" ] || fail "not float: $(soxi -e song.wav)"
    [ "$(soxi -b song.wav)" = 32 ] || fail "bits $(soxi -b song.wav)"
    expect_status 2 "$render" --float song.flac
    usage_error "--float cannot be written as flac"
    ;;
failures_leave_nothing_behind)
    expect_status 1 "$render" /dev/full
    one_error_line "/dev/full: No space left on device"
    expect_status 1 bash -c "'$render' - >/dev/full"
    one_error_line "standard output: No space left on device"
    expect_status 1 bash -c "'$render' - | head -c 100 >/dev/null; exit \${PIPESTATUS[0]}"
    one_error_line "standard output: Broken pipe"
    # A file size limit, with the signal it raises ignored: no partial file, and
    # an existing file of that name untouched.
    mkdir limited && echo "old contents" >limited/song.wav
    expect_status 1 bash -c "trap '' XFSZ; ulimit -f 1000; exec '$render' limited/song.wav"
    one_error_line "limited/song.wav: File too large"
    [ "$(cat limited/song.wav)" = "old contents" ] || fail "the existing file was changed"
    no_leftovers limited song.wav
    expect_status 1 bash -c "trap '' XFSZ; ulimit -f 1000; exec '$render' limited/new.flac"
    no_leftovers limited song.wav
    expect_status 1 "$render" missing/song.wav
    one_error_line "missing/song.wav: No such file or directory"
    no_leftovers . limited
    ;;
usage_errors)
    expect_status 2 "$render" song.xyz
    usage_error "unsupported format 'xyz' (supported: wav, flac, ogg"
    expect_status 2 "$render" song
    usage_error "cannot tell the format of 'song'"
    expect_status 2 "$render" --format nope song.wav
    usage_error "unsupported format 'nope'"
    expect_status 2 "$render" --bogus song.wav
    usage_error "unknown option '--bogus'"
    expect_status 2 "$render" --format
    usage_error "--format needs a NAME"
    expect_status 2 "$render"
    usage_error "no OUTPUT given"
    expect_status 2 "$render" a.wav b.wav
    usage_error "more than one OUTPUT"
    no_leftovers .
    expect_status 0 "$render" --help
    grep -q '^usage: wave-render' "$work/out" || fail "--help shows no usage"
    expect_status 0 "$render" --version
    grep -q '^wave-render [0-9]' "$work/out" || fail "--version shows no version"
    ;;
progress_on_a_terminal)
    # script gives the program a terminal for standard error.
    script -qec "'$render' song.wav" /dev/null >tty.txt </dev/null || fail "failed on a terminal"
    tr '\r' '\n' <tty.txt | grep -q '28/28 tracks' || fail "no progress bar: $(head -c 300 tty.txt)"
    script -qec "'$render' --quiet quiet.wav" /dev/null >quiet.txt </dev/null || fail "failed with --quiet"
    [ ! -s quiet.txt ] || fail "--quiet printed: $(cat quiet.txt)"
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS [$case_name]"
