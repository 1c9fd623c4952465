#!/usr/bin/env bash
# wave-render, run as a user runs it: every file it writes is decoded by sox,
# an independent reader, and compared with the player's PCM.
#
# usage: render_test.sh CASE WAVE_RENDER GOLDEN_HASH_FILE AUDIO_COMPARE REFUSE_ENCODERS
# (REFUSE_ENCODERS: a library that, preloaded, makes the encoder libraries fail to load)
set -u
case_name=$1 render=$2 golden=$(cat "$3") compare=$4 refuse_encoders=$5
golden_wav=$(dirname "$3")/golden_wav.sha256

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
# decode_f32 FILE OUT: FILE decoded by its format's own reference decoder, then
# made raw interleaved floats by sox.
decode_f32() {
    local decoded=$1.decoded.wav
    case $1 in
    *.mp3) mpg123 -q -w "$decoded" "$1" ;;
    *.ogg) oggdec -Q -o "$decoded" "$1" ;;
    *.opus) opusdec --quiet "$1" "$decoded" ;;
    *) cp "$1" "$decoded" ;;
    esac || fail "cannot decode $1"
    sox "$decoded" -t f32 "$2" || fail "cannot read the decoded $1"
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
    # The web page's download is checked against this pin: the same file, byte for byte.
    [ "$(sha256sum <song.wav | cut -d' ' -f1)" = "$(cat "$golden_wav")" ] ||
        fail "song.wav is not the file pinned in golden_wav.sha256"
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
lossy_formats_sound_like_the_wav)
    # Each file decoded by an independent decoder lines up with the WAV: a
    # correlation of at least 0.99 and a peak within 10 %. Opus runs at 48 kHz, and
    # its encoder removes what lies below a few hertz (the song's offset from zero,
    # which no one hears), so its reference is the WAV at 48 kHz without that.
    expect_status 0 "$render" song.wav
    decode_f32 song.wav song.f32
    sox song.wav -r 48000 -t f32 song48.f32 highpass 3
    for args in "song.mp3" "--float float.mp3" "song.ogg" "--float float.ogg" "song.opus"; do
        # shellcheck disable=SC2086
        expect_status 0 "$render" $args
        file=${args##* }
        decode_f32 "$file" "$file.f32"
        reference=song.f32
        if [ "$file" = song.opus ]; then
            [ "$(soxi -r "$file.decoded.wav")" = 48000 ] || fail "Opus decodes at $(soxi -r "$file.decoded.wav") Hz"
            # The length at 48 kHz, within an Opus frame (960 frames).
            want=$(($(frames song.wav) * 48000 / 44100))
            got=$(frames "$file.decoded.wav")
            [ $((got - want)) -le 960 ] && [ $((want - got)) -le 960 ] ||
                fail "Opus has $got frames at 48 kHz, expected about $want"
            reference=song48.f32
        else
            [ "$(frames "$file.decoded.wav")" -ge "$(frames song.wav)" ] ||
                fail "$file is shorter than the WAV: $(frames "$file.decoded.wav")"
        fi
        "$compare" "$reference" "$file.f32" >"$work/compare" || fail "$args: $(cat "$work/compare")"
        echo "$args: $(cat "$work/compare")"
    done
    ;;
tags_name_the_song)
    expect_status 0 "$render" song.flac
    expect_status 0 "$render" song.ogg
    expect_status 0 "$render" song.opus
    expect_status 0 "$render" song.mp3
    version=$("$render" --version | cut -d' ' -f2)
    software="wave-render $version"
    metaflac --export-tags-to=- song.flac >tags.flac
    vorbiscomment -l song.ogg >tags.ogg
    opusinfo song.opus >tags.opus
    mpg123 -t -n 1 -v song.mp3 2>tags.mp3
    for f in flac ogg opus; do
        grep -qix "[[:space:]]*title=Wave" tags.$f || fail "$f has no title: $(cat tags.$f)"
        grep -qi "=$software" tags.$f || fail "$f does not name $software: $(cat tags.$f)"
    done
    grep -q "Title: *Wave$" tags.mp3 || fail "mp3 has no title: $(cat tags.mp3)"
    grep -q "Comment: *$software" tags.mp3 || fail "mp3 does not name $software: $(cat tags.mp3)"
    expect_status 0 "$render" song.wav
    [ "$(soxi -a song.wav)" = "" ] || fail "the WAV has tags: $(soxi -a song.wav)"
    ;;
writes_through_a_symlink)
    expect_status 0 "$render" song.wav
    mkdir music && echo old >music/target.wav
    ln -s music/target.wav link.wav
    ln -s link.wav chain.wav         # a link to a link
    ln -s music/new.flac dangling.flac  # a link whose target does not exist yet
    expect_status 0 "$render" link.wav
    [ -L link.wav ] || fail "the link was replaced"
    cmp -s music/target.wav song.wav || fail "the link's target was not written"
    echo old >music/target.wav
    expect_status 0 "$render" chain.wav
    [ -L chain.wav ] && [ -L link.wav ] || fail "a link in the chain was replaced"
    cmp -s music/target.wav song.wav || fail "the chain's target was not written"
    expect_status 0 "$render" dangling.flac
    [ -L dangling.flac ] && [ "$(soxi -t music/new.flac)" = flac ] || fail "the dangling link's target was not created"
    no_leftovers music target.wav new.flac
    # The folder is what cannot be written: the error names it.
    ln -s missing/x.wav nowhere.wav
    expect_status 1 "$render" nowhere.wav
    one_error_line "cannot write nowhere.wav: cannot create a file in the folder ./missing: No such file or directory"
    ;;
ctrl_c_ends_a_calling_loop)
    # Ctrl-C reaches the whole foreground job, the loop's shell too; the shell ends
    # the loop only if the program ends by SIGINT itself. Each run blocks writing
    # to a FIFO that nobody reads. (A background job starts with SIGINT ignored;
    # env restores it.)
    mkfifo fifo
    setsid env --default-signal=INT bash -c \
        "for i in 1 2 3; do '$render' --quiet fifo; echo \"run \$i ended with \$?\"; done" >loop 2>&1 &
    loop=$!
    for _ in $(seq 100); do pgrep -s $loop -x wave-render >/dev/null && break; sleep 0.1; done
    sleep 0.5
    kill -s INT -- -$loop
    for _ in $(seq 50); do kill -0 $loop 2>/dev/null || break; sleep 0.1; done
    if kill -0 $loop 2>/dev/null; then
        kill -s KILL -- -$loop
        fail "the loop went on after Ctrl-C: $(cat loop)"
    fi
    wait $loop
    status=$?
    [ $status -eq 130 ] || fail "the loop ended with $status: $(cat loop)"
    [ ! -s loop ] || fail "the loop went on: $(cat loop)"
    no_leftovers . fifo loop
    ;;
hangup_removes_the_partial_file)
    # A signal during the final write: the temporary file beside the destination
    # goes. strace holds the program in fsync, between writing and renaming.
    mkdir out && echo old >out/song.wav
    for sig in HUP INT TERM; do
        strace -f -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=3000000 \
            "$render" --quiet out/song.wav 2>"$work/err" &
        tracer=$!
        for _ in $(seq 100); do [ -n "$(ls -A out | grep -v '^song.wav$')" ] && break; sleep 0.1; done
        [ -n "$(ls -A out | grep -v '^song.wav$')" ] || fail "SIG$sig: no temporary file appeared"
        # Only this test's process: others may be running beside it.
        kill -s $sig "$(pgrep -P $tracer -x wave-render)"
        wait $tracer
        no_leftovers out song.wav
        [ "$(cat out/song.wav)" = old ] || fail "SIG$sig: the existing file was changed"
    done
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
    soxi song.wav >/dev/null 2>"$work/soxi"
    [ ! -s "$work/soxi" ] || fail "sox complains about the float WAV: $(cat "$work/soxi")"
    [ "$(soxi -e song.wav)" = "Floating Point PCM" ] || fail "not float: $(soxi -e song.wav)"
    [ "$(soxi -b song.wav)" = 32 ] || fail "bits $(soxi -b song.wav)"
    [ "$(frames song.wav)" -eq "$(soxi -D song.wav | awk '{ printf "%d", $1 * 44100 + 0.5 }')" ] ||
        fail "the header's length does not match its data"
    expect_status 0 "$render" --full --float full.wav
    [ "$(frames full.wav)" = $full_frames ] || fail "--full --float has $(frames full.wav) frames"
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
    one_error_line "missing/song.wav: cannot create a file in the folder missing: No such file or directory"
    no_leftovers . limited
    ;;
without_the_encoder_libraries)
    # WAV is written without them, and the other formats name what is missing.
    # (A sanitizer's runtime wants to be loaded first; here it comes second.)
    bare_render() {
        LD_PRELOAD=$refuse_encoders ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
            "$render" "$@"
    }
    expect_status 0 bare_render --full full.wav
    [ "$(raw16 full.wav | sha256sum | cut -d' ' -f1)" = "$golden" ] || fail "samples differ from the player's PCM"
    expect_status 2 bare_render song.flac
    usage_error "unsupported format 'flac' (supported: wav; cannot load libsndfile"
    expect_status 2 bare_render song.xyz
    usage_error "unsupported format 'xyz' (supported: wav)$"
    no_leftovers . full.wav
    ;;
usage_errors)
    expect_status 2 "$render" song.xyz
    usage_error "unsupported format 'xyz' (supported: wav, flac, ogg"
    expect_status 2 "$render" song
    usage_error "cannot tell the format of 'song'"
    expect_status 2 "$render" --format nope song.wav
    usage_error "unsupported format 'nope'"
    expect_status 2 "$render" --float song.flac
    usage_error "--float cannot be written as flac"
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
    # Every option the help lists is accepted.
    for option in $(grep -o -- ' -[-a-z]*' "$work/out" | sort -u); do
        case $option in
        --format | --threads) continue ;;  # take a value, tested above
        esac
        "$render" "$option" song.wav >/dev/null 2>"$work/err"
        ! grep -q "unknown option" "$work/err" || fail "--help lists $option, which is refused"
    done
    expect_status 0 "$render" -h
    grep -q '^usage: wave-render' "$work/out" || fail "-h shows no usage"
    expect_status 0 "$render" --version
    grep -q '^wave-render [0-9]' "$work/out" || fail "--version shows no version"
    ;;
progress_on_a_terminal)
    # script gives the program a terminal for standard error, at a set width. No
    # redraw may reach the last column (it would wrap and add a line), and the bar
    # uses the room there is.
    for columns in 120 80 40 10; do
        script -qec "stty cols $columns; '$render' song.wav" /dev/null >tty.txt </dev/null ||
            fail "failed on a terminal"
        # Redraws are separated by carriage returns; erase-to-end-of-line is no text.
        tr '\r' '\n' <tty.txt | sed 's/\x1b\[K//g' | grep -v '^$' >draws.txt
        [ -s draws.txt ] || fail "$columns columns: nothing drawn"
        widest=$(awk '{ if (length($0) > w) w = length($0) } END { print w }' draws.txt)
        [ "$widest" -lt "$columns" ] || fail "$columns columns: a line of $widest: $(head -3 draws.txt)"
        [ "$(grep -c . tty.txt)" -eq 1 ] || fail "$columns columns: more than one line"
        grep -q '100%\|\[#*\]' draws.txt || fail "$columns columns: never complete: $(tail -2 draws.txt)"
        [ "$columns" -lt 80 ] || grep -q '28/28 tracks' draws.txt || fail "$columns columns: no bar"
        [ "$columns" -ne 120 ] || [ "$widest" -gt 80 ] || fail "120 columns: the bar does not widen"
    done
    script -qec "'$render' --quiet quiet.wav" /dev/null >quiet.txt </dev/null || fail "failed with --quiet"
    [ ! -s quiet.txt ] || fail "--quiet printed: $(cat quiet.txt)"
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS [$case_name]"
