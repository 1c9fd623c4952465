#!/usr/bin/env bash
# wave-render, run as a user runs it: every file it writes is decoded by sox,
# an independent reader, and compared with the player's PCM.
#
# usage: render_test.sh CASE WAVE_RENDER GOLDEN_HASH_FILE AUDIO_COMPARE REFUSE_ENCODERS REFUSE_TMPFILE
# (REFUSE_ENCODERS: a library that, preloaded, makes the encoder libraries fail to load;
# REFUSE_TMPFILE: one that makes the filesystem refuse unnamed files)
set -u
case_name=$1 render=$2 golden=$(cat "$3") compare=$4 refuse_encoders=$5 refuse_tmpfile=$6
golden_wav=$(dirname "$3")/golden_wav.sha256

readonly full_frames=7938000 pcm_bytes=31752000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The program runs in a folder of its own; its output and errors are kept apart.
mkdir "$work/run" && cd "$work/run" || exit 1

source "$(dirname "$0")/render_common.sh"
source "$(dirname "$0")/report.sh"
raw16() { sox "$1" -t raw -e signed -b 16 -L - 2>/dev/null; }  # decode to interleaved 16-bit
frames() { soxi -s "$1"; }
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
no_leftovers() {  # no_leftovers FOLDER NAME...: nothing but the listed names in the folder
    local folder=$1 entry allowed left=""
    shift
    for entry in "$folder"/* "$folder"/.[!.]* "$folder"/..?*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue  # a pattern that matched nothing
        entry=${entry##*/}
        for allowed in "$@"; do
            [ "$entry" = "$allowed" ] && continue 2
        done
        left+=" $entry"
    done
    [ -z "$left" ] || fail "left behind in $folder:$left"
}
# signal_while_writing SIG FOLDER COMMAND...: runs COMMAND (wave-render, perhaps
# through env), held for 3 s in its final fsync, and sends it SIG once it has its
# output open in FOLDER; $seen is what FOLDER held at that moment.
signal_while_writing() {
    local sig=$1 folder=$2 tracer pid=""
    shift 2
    strace -f -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=3000000 "$@" 2>"$work/err" &
    tracer=$!
    for _ in $(seq 200); do
        pid=$(pgrep -P $tracer -x wave-render) &&
            ls -l "/proc/$pid/fd" 2>/dev/null | grep -q -- "-> $(realpath "$folder")/" && break
        pid=""
        sleep 0.05
    done
    seen=$(ls -A "$folder")
    [ -n "$pid" ] || fail "$*: never had its output open in $folder"
    kill -s "$sig" "$pid"
    wait $tracer
}

case $case_name in
wav_is_the_player_pcm)
    expect_status 0 "$render" --full full.wav
    # No progress on a standard error that is not a terminal: only the closing line.
    [ "$(cat "$work/err")" = "wave-render: wrote full.wav (wav, 180.0 s, 31.8 MB)" ] ||
        fail "printed on a standard error that is not a terminal: $(cat "$work/err")"
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
    # A signal during the final write leaves no file and the existing one as it
    # was. The file being written has no name; where the filesystem refuses
    # unnamed files, it is a hidden one that the stop signals remove.
    mkdir out && echo old >out/song.wav
    for way in unnamed named; do
        preload=""
        [ $way = named ] && preload=$refuse_tmpfile
        export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
        for sig in HUP INT TERM KILL; do
            # A kill cannot be caught: only a file without a name is sure to go.
            [ $way = named ] && [ $sig = KILL ] && continue
            signal_while_writing $sig out env LD_PRELOAD="$preload" "$render" --quiet out/song.wav
            if [ $way = unnamed ]; then
                [ "$seen" = song.wav ] || fail "SIG$sig: a name appeared while writing: $seen"
            else
                [ "$(echo "$seen" | grep -c -v '^song.wav$')" -eq 1 ] || fail "SIG$sig: no temporary file: $seen"
            fi
            no_leftovers out song.wav
            [ "$(cat out/song.wav)" = old ] || fail "$way, SIG$sig: the existing file was changed"
        done
        # Uninterrupted, either way writes the same file, and leaves nothing else.
        LD_PRELOAD=$preload "$render" --quiet out/song.wav && LD_PRELOAD=$preload "$render" --quiet out/new.wav ||
            fail "$way: failed"
        cmp -s out/song.wav out/new.wav && [ "$(soxi -t out/song.wav)" = wav ] || fail "$way: other bytes"
        no_leftovers out song.wav new.wav
        echo old >out/song.wav && rm out/new.wav
    done
    ;;
kill_9_leaves_only_complete_files)
    # kill -9 at random moments: the folder holds the old file or the complete new
    # one, nothing else. strace holds each run half a second in its final fsync,
    # so that about half of the kills land while the file is being written.
    mkdir ref out
    formats=(wav flac mp3)
    declare -A took
    for f in "${formats[@]}"; do
        start=$(date +%s%N)
        expect_status 0 "$render" --quiet ref/song.$f
        took[$f]=$((($(date +%s%N) - start) / 1000000 + 500))
    done
    outcomes=""
    for i in $(seq 24); do
        f=${formats[i % 3]}
        rm -f out/*
        [ $((i % 2)) -eq 0 ] && echo old >out/song.$f  # half of the runs replace a file
        strace -f -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=500000 \
            "$render" --quiet out/song.$f 2>/dev/null &
        tracer=$!
        until pid=$(pgrep -P $tracer -x wave-render); do sleep 0.01; done
        sleep "$(awk -v ms="${took[$f]}" -v r=$RANDOM 'BEGIN { printf "%.3f", 1.25 * ms * r / 32767 / 1000 }')"
        kill -s KILL "$pid" 2>/dev/null
        wait $tracer
        no_leftovers out song.$f
        if [ -e out/song.$f ] && ! cmp -s out/song.$f ref/song.$f; then
            [ "$(cat out/song.$f)" = old ] || fail "run $i ($f): a file that is neither the old nor the new one"
            outcomes+="o"
        else
            outcomes+=$([ -e out/song.$f ] && echo w || echo -)
        fi
    done
    echo "outcomes (w written, o old file kept, - nothing yet): $outcomes"
    ;;
targets_as_cp_would_write_them)
    # Run as an unprivileged user in a shared folder (mode 1777): a file the user
    # may not write is refused before the render (no thread is started) and left
    # as it was; a replaced file keeps its mode, owner and group, or where its
    # group cannot be kept, gives the new group no more than everyone had.
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to become nobody"; exit 77; }
    chmod 711 "$work" "$work/run"
    mkdir -m 1777 shared && mkdir -m 755 shared/locked
    # A sanitizer's leak check cannot run under strace, which counts the threads.
    export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
    expect_status 0 "$render" --quiet --full ref.wav
    [ "$(raw16 ref.wav | sha256sum | cut -d' ' -f1)" = "$golden" ] || fail "samples differ from the player's PCM"
    nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    # A copy that nobody may run wherever the build folder lies.
    cp "$render" "$work/wave-render" && chmod 755 "$work/wave-render" && render=$work/wave-render
    # target           owner:group    mode  status  owner:group and mode after
    while read -r target owner mode status after; do
        echo "old contents" >"shared/$target"
        chown "$owner" "shared/$target" && chmod "$mode" "shared/$target"
        before=$(stat -c '%U:%G %a' "shared/$target")
        expect_status "$status" strace -f -qq -o "$work/trace" -e trace=clone,clone3 \
            "${nobody[@]}" "$render" --quiet --full --threads 2 "shared/$target"
        if [ "$status" -eq 1 ]; then
            one_error_line "^wave-render: cannot write shared/$target: Permission denied$"
            ! grep -q clone "$work/trace" || fail "$target: refused only after rendering"
            [ "$(cat "shared/$target")" = "old contents" ] || fail "$target: changed"
            after=$before
        else
            cmp -s "shared/$target" ref.wav || fail "$target: not the song"
        fi
        [ "$(stat -c '%U:%G %a' "shared/$target")" = "$after" ] ||
            fail "$target: $(stat -c '%U:%G %a' "shared/$target") after writing, expected $after"
        rm "shared/$target"
    done <<'TABLE'
readonly.wav       nobody:nogroup 444   1       -
roots.wav          root:root      644   1       -
mine.wav           nobody:nogroup 640   0       nobody:nogroup 640
open.wav           root:root      666   0       root:root 666
foreign-group.wav  nobody:root    2664  0       nobody:nogroup 644
locked/mine.wav    nobody:nogroup 600   0       nobody:nogroup 600
TABLE
    no_leftovers shared locked
    no_leftovers shared/locked
    # Root may write anything, as with cp, and gives the file back to its owner.
    echo "old contents" >shared/theirs.wav && chown nobody:nogroup shared/theirs.wav && chmod 444 shared/theirs.wav
    expect_status 0 "$render" --quiet --full shared/theirs.wav
    cmp -s shared/theirs.wav ref.wav || fail "root did not write a file it may write"
    [ "$(stat -c '%U:%G %a' shared/theirs.wav)" = "nobody:nogroup 444" ] || fail "root took the file: $(stat -c '%U:%G %a' shared/theirs.wav)"
    # The longest name the folder takes, new and then replaced.
    long=$(printf 'n%.0s' $(seq 251)).wav
    for _ in new replaced; do
        expect_status 0 "${nobody[@]}" "$render" --quiet --full "shared/$long"
        cmp -s "shared/$long" ref.wav || fail "a 255-byte name: not the song"
    done
    expect_status 1 "${nobody[@]}" "$render" --quiet "shared/n$long"
    one_error_line "cannot write shared/n$long: File name too long$"
    # Descriptors named as files, when they are pipes.
    "${nobody[@]}" "$render" --quiet --full /dev/stdout 2>"$work/err" | cat >stdout.wav
    cmp -s stdout.wav ref.wav || fail "/dev/stdout as a pipe: $(cat "$work/err")"
    "${nobody[@]}" "$render" --quiet --full /dev/fd/3 3>&1 >/dev/null 2>"$work/err" | cat >fd3.wav
    cmp -s fd3.wav ref.wav || fail "/dev/fd/3 as a pipe: $(cat "$work/err")"
    expect_status 1 "${nobody[@]}" "$render" --quiet --format wav /dev/fd/7
    one_error_line "^wave-render: cannot write /dev/fd/7: Bad file descriptor$"
    no_leftovers shared locked theirs.wav "$long"
    ;;
out_of_memory_is_one_line)
    # Under a limit on its address space the program renders on fewer threads,
    # or says in one line what could not be had and leaves nothing. Below what
    # the kernel needs to load it (its buffers are static) it cannot start at
    # all: that limit is found first, and the limits tried lie above it, closely
    # where the render, the libraries and the encoders each run short.
    low=100000 high=200000
    while [ $((high - low)) -gt 16 ]; do
        mid=$(((low + high) / 2))
        (ulimit -v $mid && exec "$render" --version) >/dev/null 2>&1
        case $? in 127 | 139) low=$mid ;; *) high=$mid ;; esac
    done
    echo "the kernel and the loader start it from $high KiB"
    for kib in $((high - 512)) $(for extra in 0 128 256 384 512 768 1024 1536 2048 2560 3072 3584 4096 \
        5120 6144 8192 12288 20480 30720 51200 71680 73216 102400 133120; do echo $((high + extra)); done); do
        for f in wav flac ogg opus mp3; do
            mkdir m && cd m || exit 1
            # The golden samples are those of the whole buffer; a lossy file has the default length.
            length=--full
            case $f in ogg | opus | mp3) length=--quiet ;; esac
            (ulimit -v $kib && exec "$render" --quiet $length --threads 2 song.$f) >"$work/out" 2>"$work/err"
            status=$?
            case $status in
            0)
                case $f in
                wav | flac) [ "$(raw16 song.$f | sha256sum | cut -d' ' -f1)" = "$golden" ] || fail "$kib KiB, $f: other samples" ;;
                *) decode_f32 song.$f song.f32 && rm song.$f.decoded.wav song.f32 ;;
                esac
                no_leftovers . song.$f
                ;;
            1)
                one_error_line "^wave-render: .*\(out of memory\|failed to map\)"
                no_leftovers .
                ;;
            *)
                [ "$kib" -lt "$high" ] || fail "$kib KiB, $f: status $status: $(head -3 "$work/err")"
                no_leftovers .
                ;;
            esac
            echo "$kib KiB $f: $status $(head -c 100 "$work/err")"
            cd .. && rm -rf m
        done
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
    # Numbers are plain decimal digits; anything else is refused, not read as some number.
    for value in ' 2' '2 ' +3 010 0x2 2.0 '' 257 0; do
        expect_status 2 "$render" --threads "$value" song.wav
        usage_error "--threads takes a number from 1 to 256, not '$value'"
    done
    for value in ' 5' +5 1e0 nan inf 05 5. .5 11; do
        expect_status 2 "$render" --quality "$value" song.ogg
        usage_error "--quality takes a number from 0 to 10, not '$value'"
    done
    expect_status 2 "$render" --format '' song.wav
    usage_error "--format needs a NAME"
    # A control character in a name or a value is shown escaped: the message stays one line.
    expect_status 2 "$render" $'--bo\ngus' song.wav
    usage_error "unknown option '--bo\\\\ngus'"
    expect_status 2 "$render" $'song\x1b[31m'
    usage_error "cannot tell the format of 'song\\\\x1b\[31m'"
    expect_status 1 "$render" $'no\nsuch/song.wav'
    one_error_line 'no\\nsuch'
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
quality_sets_the_bitrate)
    # The bitrate each format's own reader reports (for MP3, the audio's bytes over
    # its decoded length): near 160 kbit/s by default, and rising with --quality
    # from 0 to 10. Every file decodes to the song's length.
    expect_status 0 "$render" song.wav
    kbits() {  # kbits FILE: the average bitrate in kbit/s, whole
        case $1 in
        *.ogg) ogginfo "$1" | sed -n 's/^\tAverage bitrate: \([0-9.]*\) kb\/s$/\1/p' ;;
        *.opus) opusinfo "$1" | sed -n 's/^\tAverage bitrate: \([0-9.]*\) kbit\/s.*/\1/p' ;;
        *.mp3) awk -v bytes="$(stat -c %s "$1")" -v seconds="$(soxi -D "$1.decoded.wav")" \
            'BEGIN { print bytes * 8 / seconds / 1000 }' ;;
        esac | cut -d. -f1
    }
    for format in ogg opus mp3; do
        rates=()
        for quality in 0 default 10; do
            file=q$quality.$format
            if [ $quality = default ]; then
                expect_status 0 "$render" "$file"
            else
                expect_status 0 "$render" --quality $quality "$file"
            fi
            decode_f32 "$file" "$file.f32"
            want=$(frames song.wav)
            [ $format != opus ] || want=$((want * 48000 / 44100 - 960))
            [ "$(frames "$file.decoded.wav")" -ge $want ] || fail "$file decodes short: $(frames "$file.decoded.wav")"
            rate=$(kbits "$file")
            [ -n "$rate" ] || fail "no bitrate for $file"
            rates+=("$rate")
        done
        echo "$format: ${rates[0]} / ${rates[1]} / ${rates[2]} kbit/s at quality 0 / default / 10"
        [ "${rates[1]}" -ge 130 ] && [ "${rates[1]}" -le 190 ] ||
            fail "$format's default is ${rates[1]} kbit/s, not near 160"
        [ "${rates[0]}" -lt "${rates[1]}" ] && [ "${rates[1]}" -lt "${rates[2]}" ] ||
            fail "$format's bitrate does not rise with --quality: ${rates[*]}"
    done
    # The MP3 is variable-bitrate: its first frame carries a Xing header, not Info.
    head -c 4096 qdefault.mp3 | grep -q Xing || fail "the MP3 is not VBR"
    for bad in 11 -1 abc nan ''; do
        expect_status 2 "$render" --quality "$bad" song.ogg
        usage_error "--quality takes a number from 0 to 10, not '$bad'"
    done
    expect_status 2 "$render" --quality 5 song.flac
    usage_error "--quality is for the lossy formats"
    ;;
closing_line_says_what_was_written)
    # One line on standard error names the output, its format, length and size;
    # --quiet leaves it out.
    for args in "song.wav" "song.flac" "song.opus" "--float float.ogg" "--full full.mp3" "-"; do
        # shellcheck disable=SC2086
        expect_status 0 "$render" $args
        output=${args##* }
        name=$output
        [ "$output" != - ] || { name="standard output"; cp "$work/out" stdout.wav; output=stdout.wav; }
        [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$args: expected one line: $(cat "$work/err")"
        line=$(cat "$work/err")
        [[ $line =~ ^wave-render:\ wrote\ (.*)\ \(([a-z0-9]+),\ ([0-9.]+)\ s,\ ([0-9.]+)\ (MB|kB)\)$ ]] ||
            fail "$args: unexpected closing line: $line"
        [ "${BASH_REMATCH[1]}" = "$name" ] || fail "$args: names '${BASH_REMATCH[1]}'"
        [ "${BASH_REMATCH[2]}" = "${output##*.}" ] || fail "$args: says the format is ${BASH_REMATCH[2]}"
        # The length the file holds, and its size in MB or kB to the shown digit.
        decode_f32 "$output" "$output.f32"
        seconds=$(soxi -D "$output.decoded.wav")
        awk -v said="${BASH_REMATCH[3]}" -v real="$seconds" 'BEGIN { exit !(said - real < 0.1 && real - said < 0.1) }' ||
            fail "$args: says ${BASH_REMATCH[3]} s, the file holds $seconds s"
        size=$(stat -c %s "$output")
        shown=$(awk -v b="$size" -v unit="${BASH_REMATCH[5]}" 'BEGIN { d = unit == "MB" ? 1e6 : 1e3; printf(unit == "MB" ? "%.1f" : "%.0f", b / d) }')
        [ "$shown" = "${BASH_REMATCH[4]}" ] || fail "$args: says ${BASH_REMATCH[4]} ${BASH_REMATCH[5]}, the file has $size bytes"
        echo "$line"
    done
    expect_status 0 "$render" -q quiet.opus
    [ ! -s "$work/err" ] || fail "-q printed: $(cat "$work/err")"
    # On a terminal the bar goes on through the encoding to its end, then the
    # closing line follows on a line of its own.
    script -qec "stty cols 100; '$render' song.opus" /dev/null >tty.txt </dev/null || fail "failed on a terminal"
    tr '\r' '\n' <tty.txt | sed 's/\x1b\[K//g' | grep -v '^$' >draws.txt
    grep -q '^encoding  \[#*\.\.*\] opus' draws.txt || fail "the bar does not show the encoding under way"
    grep -q '^encoding  \[#*\] opus' draws.txt || fail "the bar does not show the encoding done: $(tail -3 draws.txt)"
    [ "$(tail -n 1 draws.txt | cut -c1-22)" = "wave-render: wrote son" ] || fail "no closing line after the bar"
    ;;
closed_standard_descriptors)
    # With its standard descriptors closed, the file it writes must be the song
    # alone: no message may land in it, whichever descriptor it was given.
    expect_status 0 "$render" --full reference.wav
    for redirections in '<&- >&- 2>&-' '>&- 2>&-' '2>&-' '<&- 2>&-'; do
        rm -f song.wav
        eval "\"\$render\" --full song.wav $redirections"
        status=$?
        [ $status -eq 0 ] || fail "wave-render $redirections: exit status $status"
        cmp -s song.wav reference.wav || fail "wave-render $redirections wrote another file"
    done
    # Standard output named as OUTPUT while it is closed: said so, not written to nothing.
    "$render" - >&- 2>"$work/err"
    [ $? -eq 1 ] || fail "wave-render - with standard output closed did not exit 1"
    one_error_line 'standard output: it is closed'
    # The same for a failure: its message must not go into a file either.
    eval "\"\$render\" --full no/such/folder/song.wav <&- >&- 2>&-"
    [ $? -eq 1 ] || fail "a failure with every descriptor closed did not exit 1"
    ;;
refuses_a_terminal)
    # Audio to a terminal, as standard output or by the terminal's name: one
    # line, status 2, and not a byte reaches the terminal. A pseudo-terminal
    # stands in for the user's; its other end is read after the program ends.
    for target in - tty-name; do
        python3 - "$render" "$target" >"$work/out" 2>"$work/err" <<'PY'
import os, pty, select, subprocess, sys, time
render, target = sys.argv[1], sys.argv[2]
master, slave = pty.openpty()
output = "-" if target == "-" else os.ttyname(slave)
child = subprocess.Popen([render, output], stdin=subprocess.DEVNULL, stdout=slave)
os.close(slave)
# The terminal's side is read while the program runs, so that a program that
# does write to it is not held up by a full terminal, and is stopped after 60 s.
written, deadline = 0, time.monotonic() + 60
while child.poll() is None and time.monotonic() < deadline:
    if select.select([master], [], [], 0.1)[0]:
        try:
            written += len(os.read(master, 65536))
        except OSError:
            break
if child.poll() is None:
    child.kill()
status = child.wait()
os.set_blocking(master, False)
try:
    while chunk := os.read(master, 65536):
        written += len(chunk)
except OSError:
    pass
print(status, written)
PY
        read -r status written <"$work/out"
        [ "$status" = 2 ] || fail "to a terminal ($target): exit status $status, expected 2: $(cat "$work/err")"
        [ "$written" = 0 ] || fail "to a terminal ($target): $written bytes reached it"
        one_error_line "refusing to write audio to a terminal"
    done
    no_leftovers .
    # A device that is not a terminal is written as before.
    expect_status 0 "$render" --quiet /dev/null
    ;;
progress_on_a_terminal)
    # script gives the program a terminal for standard error, at a set width. No
    # redraw may reach the last column (it would wrap and add a line), and the bar
    # uses the room there is.
    tracks=$(rendered_tracks) || fail "cannot count the song's track renders"
    for columns in 120 80 40 10; do
        script -qec "stty cols $columns; '$render' song.wav" /dev/null >tty.txt </dev/null ||
            fail "failed on a terminal"
        # Redraws are separated by carriage returns; erase-to-end-of-line is no text.
        # (The closing line is an ordinary line, which the terminal may wrap.)
        tr '\r' '\n' <tty.txt | sed 's/\x1b\[K//g' | grep -v '^$' | grep -v '^wave-render: wrote ' >draws.txt
        [ -s draws.txt ] || fail "$columns columns: nothing drawn"
        widest=$(awk '{ if (length($0) > w) w = length($0) } END { print w }' draws.txt)
        [ "$widest" -lt "$columns" ] || fail "$columns columns: a line of $widest: $(head -3 draws.txt)"
        [ "$(grep -c . tty.txt)" -eq 2 ] && tail -n 1 tty.txt | grep -q '^wave-render: wrote song.wav ' ||
            fail "$columns columns: not the bar's line and the closing line: $(cat -A tty.txt | tail -3)"
        grep -q '100%\|\[#*\]' draws.txt || fail "$columns columns: never complete: $(tail -2 draws.txt)"
        [ "$columns" -lt 80 ] || grep -q "$tracks/$tracks tracks" draws.txt || fail "$columns columns: no bar"
        [ "$columns" -ne 120 ] || [ "$widest" -gt 80 ] || fail "120 columns: the bar does not widen"
    done
    # A terminal that knows no escapes gets plain text, redrawn over with spaces.
    TERM=dumb script -qec "stty cols 80; '$render' dumb.wav" /dev/null >dumb.txt </dev/null ||
        fail "failed on a dumb terminal"
    ! grep -q $'\x1b' dumb.txt || fail "escape sequences on a dumb terminal: $(cat -A dumb.txt | head -c 300)"
    grep -q "$tracks/$tracks tracks" dumb.txt || fail "no bar on a dumb terminal: $(cat -A dumb.txt | head -c 300)"
    script -qec "'$render' --quiet quiet.wav" /dev/null >quiet.txt </dev/null || fail "failed with --quiet"
    [ ! -s quiet.txt ] || fail "--quiet printed: $(cat quiet.txt)"
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS [$case_name]"
