#!/usr/bin/env bash
# End-to-end checks of the player, run as a user runs it, with the real ALSA
# library underneath: its "default" device is the file plugin, so whatever is
# played lands in a capture file.
#
# usage: player_test.sh CASE WAVE PACE_READER GOLDEN_HASH_FILE
set -u
case_name=$1 wave=$2 pace_reader=$3 golden=$(cat "$4")

readonly pcm_bytes=31752000
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }

# capture_config NAME [PACED]: an ALSA configuration that captures to $work/NAME.raw.
capture_config() {
    local file="$work/$1.raw" conf="$work/$1.conf"
    if [ "${2:-}" = paced ]; then file="|$pace_reader 176400 $file"; fi
    printf 'pcm.!default { type file; slave.pcm { type null }; file "%s"; format "raw" }\n' \
        "$file" >"$conf"
    echo "$conf"
}

source "$(dirname "$0")/report.sh"

check_report() {
    diff <(expected_report) "$1" >/dev/null || fail "standard output is not the report: $(head -c 300 "$1")"
}

# The capture is the rendered PCM, possibly padded with silent frames.
check_capture() {
    local raw=$1 size
    size=$(stat -c %s "$raw")
    [ "$size" -ge $pcm_bytes ] || fail "captured $size bytes, expected $pcm_bytes"
    [ "$(head -c $pcm_bytes "$raw" | sha256sum | cut -d' ' -f1)" = "$golden" ] ||
        fail "captured audio differs from the rendered PCM"
    cmp -s <(tail -c +$((pcm_bytes + 1)) "$raw") <(head -c $((size - pcm_bytes)) /dev/zero) ||
        fail "padding after the PCM is not silent"
}

wait_for_lines() {  # wait_for_lines FILE N SECONDS
    local deadline=$((SECONDS + $3))
    while [ "$(cat "$1" 2>/dev/null | wc -l)" -lt "$2" ]; do
        [ $SECONDS -lt $deadline ] || fail "timed out waiting for output"
        sleep 0.1
    done
}

case $case_name in
plays_to_the_end)
    # No one answers: at the end of input the player plays the whole song, then exits 0.
    conf=$(capture_config out)
    ALSA_CONFIG_PATH=$conf timeout 120 "$wave" </dev/null >"$work/stdout" 2>"$work/stderr"
    status=$?
    [ $status -eq 0 ] || fail "exit status $status: $(cat "$work/stderr")"
    check_report "$work/stdout"
    grep -q '再生終わったら' "$work/stderr" || fail "the message box text is not on standard error"
    check_capture "$work/out.raw"
    ;;
no_device)
    # No device: the report, then one line naming the device and the reason, exit 1.
    : >"$work/empty.conf"
    ALSA_CONFIG_PATH=$work/empty.conf timeout 120 "$wave" </dev/null >"$work/stdout" 2>"$work/stderr"
    status=$?
    [ $status -eq 1 ] || fail "exit status $status, expected 1"
    check_report "$work/stdout"
    [ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "expected one line on standard error, got: $(cat "$work/stderr")"
    grep -q 'default' "$work/stderr" || fail "the error does not name the device: $(cat "$work/stderr")"
    grep -q 'No such file or directory' "$work/stderr" || fail "the error gives no reason: $(cat "$work/stderr")"
    ;;
a_line_answers)
    # `echo | wave` answers OK at once: it must not wait for the 180 s of playback.
    conf=$(capture_config out paced)
    start=$SECONDS
    echo | ALSA_CONFIG_PATH=$conf timeout 90 "$wave" >"$work/stdout" 2>"$work/stderr"
    status=$?
    [ $status -eq 0 ] || fail "exit status $status: $(cat "$work/stderr")"
    [ $((SECONDS - start)) -lt 60 ] || fail "the player waited for playback"
    check_report "$work/stdout"
    ;;
broken_report_pipe)
    # The reader of the report goes away early; the player still plays to the end.
    conf=$(capture_config out)
    ALSA_CONFIG_PATH=$conf timeout 120 "$wave" </dev/null 2>"$work/stderr" | head -n 3 >"$work/stdout"
    status=${PIPESTATUS[0]}
    [ $status -eq 0 ] || fail "exit status $status: $(cat "$work/stderr")"
    [ "$(cat "$work/stdout")" = "$(expected_report | head -n 3)" ] || fail "unexpected head of the report"
    check_capture "$work/out.raw"
    ;;
signals_stop_playback)
    # SIGINT, SIGTERM and SIGHUP in mid-play: playback stops and the exit status is 128 + signal.
    for sig in INT TERM HUP; do
        conf=$(capture_config "out_$sig" paced)
        # The files exist before the player starts, so that waiting on them cannot race it.
        : >"$work/stdout_$sig"
        : >"$work/stderr_$sig"
        ALSA_CONFIG_PATH=$conf "$wave" </dev/null >>"$work/stdout_$sig" 2>>"$work/stderr_$sig" &
        pid=$!
        wait_for_lines "$work/stderr_$sig" 3 120
        sleep 1
        start_ns=$(date +%s%N)
        kill -s $sig $pid
        wait $pid
        status=$?
        elapsed_ms=$((($(date +%s%N) - start_ns) / 1000000))
        expected=$((128 + $(kill -l $sig)))
        [ $status -eq $expected ] || fail "SIG$sig: exit status $status, expected $expected"
        # The file plugin writes out the two seconds ALSA holds, in real time, when dropped.
        [ $elapsed_ms -lt 3500 ] || fail "SIG$sig: took $elapsed_ms ms to stop"
        check_report "$work/stdout_$sig"
        size=$(stat -c %s "$work/out_$sig.raw")
        [ "$size" -lt $pcm_bytes ] || fail "SIG$sig: playback ran to the end"
        echo "SIG$sig stopped the player in $elapsed_ms ms after $size bytes"
    done
    ;;
ctrl_c_ends_a_calling_loop)
    # Ctrl-C in mid-play reaches the whole foreground job, the loop's shell too.
    # The shell ends the loop only if the player ends by SIGINT itself, not by
    # exit(130). (A background job starts with SIGINT ignored; env restores it.)
    conf=$(capture_config loop paced)
    : >"$work/loop"
    : >"$work/prompt"
    ALSA_CONFIG_PATH=$conf setsid env --default-signal=INT bash -c \
        "for i in 1 2 3; do '$wave' </dev/null >/dev/null 2>>'$work/prompt'; echo \"run \$i ended with \$?\"; done" \
        >"$work/loop" 2>&1 &
    loop=$!
    wait_for_lines "$work/prompt" 3 120
    sleep 0.5
    kill -s INT -- -$loop
    for _ in $(seq 50); do kill -0 $loop 2>/dev/null || break; sleep 0.1; done
    if kill -0 $loop 2>/dev/null; then
        kill -s KILL -- -$loop
        fail "the loop went on after Ctrl-C: $(cat "$work/loop")"
    fi
    wait $loop
    status=$?
    [ $status -eq 130 ] || fail "the loop ended with $status: $(cat "$work/loop")"
    [ ! -s "$work/loop" ] || fail "the loop went on: $(cat "$work/loop")"
    [ "$(wc -l <"$work/prompt")" -eq 3 ] || fail "another run started: $(cat "$work/prompt")"
    ;;
stop_signal_beside_its_reader)
    # Ctrl-C reaches the device's reader process as well, which may go a moment
    # before the player takes the signal: the player then ends by the signal,
    # without a word about a lost device.
    printf '#!/bin/sh\nhead -c 352800 >/dev/null\ntouch "%s"\n' "$work/reader_gone" >"$work/reader"
    chmod +x "$work/reader"
    printf 'pcm.!default { type file; slave.pcm { type null }; file "|%s"; format "raw" }\n' \
        "$work/reader" >"$work/reader.conf"
    ALSA_CONFIG_PATH=$work/reader.conf env --default-signal=INT "$wave" </dev/null >/dev/null \
        2>"$work/err" &
    player=$!
    for _ in $(seq 1000); do [ -e "$work/reader_gone" ] && break; sleep 0.01; done
    [ -e "$work/reader_gone" ] || fail "the reader never ended: $(cat "$work/err")"
    sleep 0.05
    kill -s INT $player
    wait $player && status=0 || status=$?
    [ $status -eq 130 ] || fail "ended with $status: $(cat "$work/err")"
    if grep -q "lost the default audio device" "$work/err"; then
        fail "said the device was lost: $(cat "$work/err")"
    fi
    ;;
stops_cleanly_while_flushing)
    # ALSA's file plugin aborts the program when a write of what it holds comes up
    # short. Each way of stopping while it writes into a pipe, or while its file
    # fills up, ends with the status the README promises and no other word.
    check_end() {  # check_end WHAT STATUS ALLOWED_STATUSES...
        local what=$1 status=$2
        shift 2
        [[ " $* " == *" $status "* ]] || fail "$what: exit status $status, expected one of $*: $(tail -c 300 "$work/stderr")"
        ! grep -q -i 'assert' "$work/stderr" || fail "$what: $(grep -i assert "$work/stderr")"
    }
    for delay in 0.1 0.5 0.9; do
        # A stop signal, then the pipe's reader goes away while the stop is under way.
        conf=$(capture_config "signal_$delay" paced)
        : >"$work/stderr"
        ALSA_CONFIG_PATH=$conf "$wave" </dev/null >/dev/null 2>"$work/stderr" &
        pid=$!
        wait_for_lines "$work/stderr" 2 120
        sleep 1
        kill -s INT $pid
        sleep $delay
        pkill -f "$pace_reader 176400 $work/signal_$delay.raw"
        wait $pid
        check_end "SIGINT, then the reader ended after $delay s" $? 130

        # OK, then Ctrl-C to the whole group (the reader too) while the stop is under way.
        conf=$(capture_config "ok_$delay" paced)
        : >"$work/stderr"
        mkfifo "$work/answer_$delay"
        ALSA_CONFIG_PATH=$conf setsid env --default-signal=INT \
            "$wave" <"$work/answer_$delay" >/dev/null 2>"$work/stderr" &
        pid=$!
        exec 7>"$work/answer_$delay"
        wait_for_lines "$work/stderr" 2 120
        sleep 1
        echo >&7
        sleep $delay
        kill -s INT -- -$pid 2>/dev/null
        wait $pid
        check_end "OK, then Ctrl-C after $delay s" $? 0 130
        exec 7>&-
    done
    # The capture file reaches the file size limit early, or while the end of the
    # song is written out: one line, status 1.
    for kbytes in 1000 31000; do
        conf=$(capture_config "limit_$kbytes")
        (
            ulimit -f $kbytes
            ALSA_CONFIG_PATH=$conf exec timeout 120 "$wave" </dev/null >/dev/null 2>"$work/stderr"
        )
        check_end "a file size limit of $kbytes KiB" $? 1
        [ "$(grep -c -v -e '^\[Wave\]' -e 'OK' "$work/stderr")" -eq 1 ] ||
            fail "a file size limit of $kbytes KiB: expected one line: $(cat "$work/stderr")"
        grep -q 'lost the default audio device' "$work/stderr" ||
            fail "a file size limit of $kbytes KiB: not reported as a lost device: $(cat "$work/stderr")"
    done
    ;;
signal_after_the_prompt)
    # A stop signal that comes after OK, while the device is still being stopped
    # (a slow reader takes seconds to drain the pipe), ends the program by it.
    printf 'pcm.!default { type file; slave.pcm { type null }; file "|%s 17640 /dev/null"; format "raw" }\n' \
        "$pace_reader" >"$work/slow.conf"
    mkfifo "$work/answer"
    : >"$work/stderr"
    ALSA_CONFIG_PATH=$work/slow.conf "$wave" <"$work/answer" >/dev/null 2>"$work/stderr" &
    pid=$!
    exec 7>"$work/answer"
    wait_for_lines "$work/stderr" 2 120
    sleep 1
    echo >&7
    sleep 0.3
    start_ns=$(date +%s%N)
    kill -s TERM $pid
    wait $pid
    status=$?
    elapsed_ms=$((($(date +%s%N) - start_ns) / 1000000))
    [ $status -eq 143 ] || fail "SIGTERM after OK: exit status $status, expected 143"
    [ $elapsed_ms -lt 2000 ] || fail "SIGTERM after OK: the program went on for $elapsed_ms ms"
    ;;
closed_standard_descriptors)
    # With standard descriptors closed, the capture must still be the song alone:
    # neither the report nor the prompt may land in it.
    for redirections in '<&- >&- 2>&-' '>&- 2>&-' '<&- >&-' '<&- 2>&-'; do
        conf=$(capture_config closed)
        rm -f "$work/closed.raw"
        eval "ALSA_CONFIG_PATH=$conf timeout 120 \"\$wave\" $redirections"
        status=$?
        [ $status -eq 0 ] || fail "wave $redirections: exit status $status"
        check_capture "$work/closed.raw"
    done
    ;;
input_without_lines)
    # Input that never holds a line is not read flat out: a few seconds into the
    # song, the player has read next to nothing of /dev/zero.
    conf=$(capture_config zero paced)
    : >"$work/stderr"
    ALSA_CONFIG_PATH=$conf "$wave" </dev/zero >/dev/null 2>"$work/stderr" &
    pid=$!
    wait_for_lines "$work/stderr" 2 120
    sleep 3
    read_bytes=$(awk '/^rchar/ {print $2}' /proc/$pid/io)
    kill -s TERM $pid
    wait $pid
    [ "$read_bytes" -lt 16000000 ] || fail "read $read_bytes bytes in 3 s"
    # And, as with no input at all, the song plays to its end and the player exits.
    conf=$(capture_config zero_whole)
    ALSA_CONFIG_PATH=$conf timeout 120 "$wave" </dev/zero >/dev/null 2>"$work/stderr"
    status=$?
    [ $status -eq 0 ] || fail "exit status $status: $(cat "$work/stderr")"
    check_capture "$work/zero_whole.raw"
    ;;
out_of_memory_is_one_line)
    # Short of address space, from where the loader can start the program up to
    # where it plays: the song, or one line and status 1, never an abort.
    conf=$(capture_config oom)
    for kbytes in $(seq 134800 600 146800); do
        (
            ulimit -v $kbytes
            ALSA_CONFIG_PATH=$conf exec timeout 120 "$wave" </dev/null >/dev/null 2>"$work/stderr"
        )
        status=$?
        lines=$(grep -v -e '^\[Wave\]' -e 'OK' "$work/stderr")
        case $status in
        0) [ -z "$lines" ] || fail "ulimit -v $kbytes: played, but said: $lines" ;;
        1) [ "$(echo "$lines" | wc -l)" -eq 1 ] || fail "ulimit -v $kbytes: not one line: $lines" ;;
        127) grep -q 'error while loading shared libraries' "$work/stderr" ||
            fail "ulimit -v $kbytes: exit status 127: $lines" ;;  # the loader's limit, before any line of ours
        *) fail "ulimit -v $kbytes: exit status $status: $lines" ;;
        esac
        echo "ulimit -v $kbytes: $status ${lines:-played}"
    done
    ;;
memory_at_exit)
    # The buffers are zero at exit without the pages the render never touched
    # being brought in: the peak stays far below the 127 MB of both buffers.
    conf=$(capture_config memory)
    peak_kb=$(ALSA_CONFIG_PATH=$conf python3 -c '
import resource, subprocess, sys
subprocess.run([sys.argv[1]], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
               stderr=subprocess.DEVNULL, timeout=120, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$wave") || fail "the player failed"
    echo "peak resident size: $peak_kb KiB"
    [ "$peak_kb" -lt 96000 ] || fail "peak resident size $peak_kb KiB"
    check_capture "$work/memory.raw"
    ;;
arguments)
    # Help and version print and exit without a render; anything else is one
    # usage line and status 2. Nothing is ever played: the capture stays absent.
    #   arguments (| between them); status; first line of standard output; of standard error
    cases=(
        "--help           ; 0 ; ^usage: wave          ; ^$"
        "-h               ; 0 ; ^usage: wave          ; ^$"
        "--version        ; 0 ; ^wave [0-9]+[.][0-9.]+$ ; ^$"
        "--bogus          ; 2 ; ^$                    ; ^wave: unknown option '--bogus'; wave takes no arguments"
        "song.wav         ; 2 ; ^$                    ; ^wave: unexpected argument 'song.wav'; "
        "-                ; 2 ; ^$                    ; ^wave: unexpected argument '-'; "
        "--help|extra     ; 2 ; ^$                    ; ^wave: --help takes no arguments "
        "--version|--help ; 2 ; ^$                    ; ^wave: --version takes no arguments "
    )
    trim() { sed -e 's/^ *//' -e 's/ *$//' <<<"$1"; }
    # first_line_is FILE REGEX: '^$' asks for an empty file.
    first_line_is() { if [ "$2" = '^$' ]; then [ ! -s "$1" ]; else head -n 1 "$1" | grep -Eq -- "$2"; fi; }
    conf=$(capture_config out)
    for row in "${cases[@]}"; do
        IFS=';' read -r args want out_re err_re <<<"$row"
        args=$(trim "$args") want=$(trim "$want") out_re=$(trim "$out_re") err_re=$(trim "$err_re")
        IFS='|' read -r -a argv <<<"$args"
        rm -f "$work/out.raw"
        ALSA_CONFIG_PATH=$conf timeout 60 "$wave" "${argv[@]}" </dev/null >"$work/stdout" 2>"$work/stderr"
        status=$?
        [ $status -eq "$want" ] || fail "wave $args: exit status $status, expected $want"
        [ ! -e "$work/out.raw" ] || fail "wave $args opened the audio device"
        grep -q '^ALLOC' "$work/stdout" && fail "wave $args rendered the song"
        first_line_is "$work/stdout" "$out_re" || fail "wave $args printed: $(head -c 300 "$work/stdout")"
        [ "$(wc -l <"$work/stderr")" -le 1 ] || fail "wave $args: more than one error line: $(cat "$work/stderr")"
        first_line_is "$work/stderr" "$err_re" || fail "wave $args: standard error: $(cat "$work/stderr")"
    done
    # The help says how to stop the song and where wave-render is.
    "$wave" --help >"$work/help"
    for topic in Ctrl-C OK wave-render; do
        grep -q -- "$topic" "$work/help" || fail "the help does not mention $topic"
    done
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS [$case_name]"
