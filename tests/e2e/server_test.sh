#!/usr/bin/env bash
# End-to-end checks of the player through real sound servers. Each run starts its
# own servers with a private runtime folder, socket and session bus, and stops
# every process it started by its id, however the run ends. The routes:
#   pulseaudio      PulseAudio, reached through ALSA's pulse plugin
#   pipewire        PipeWire and WirePlumber, through PipeWire's own ALSA plugin
#   pipewire-pulse  the same PipeWire, through its PulseAudio service and ALSA's pulse plugin
# The server plays into a null sink at 44,100 Hz; its monitor is recorded (with
# parec, from PulseAudio or PipeWire's PulseAudio service) and compared with the
# PCM that the player renders.
#
# The machine itself may stall: a virtual machine's host takes its CPUs away for
# tens of milliseconds now and then, and a few times a minute here. A sound server
# misses its cycles then, whatever its priority, and the recording breaks through
# no fault of the player. So a watcher (STALL_WATCH, at real-time priority) notes
# every stall longer than 15 ms, and a case that fails during a run in which the
# machine stalled runs again, up to three times in all; the failure and the
# longest stalls are shown each time.
#
# usage: server_test.sh CASE ROUTE WAVE STREAM_COMPARE GOLDEN_HASH_FILE STALL_WATCH [PIPEWIRE_ALSA_PLUGIN]
# ROUTE may be "all" for plays_to_the_end: the three routes then play at once.
set -u
args=("$@")
case_name=$1 route=$2 wave=$3 compare=$4 golden_file=$5 stall_watch=$6 pipewire_plugin=${7:-}
golden=$(cat "$golden_file")
readonly stall_ms=15 attempts=3
attempt=${WAVE_SERVER_ATTEMPT:-1}

readonly rate=44100
work=$(mktemp -d /tmp/wave-server.XXXXXX)
pids=()  # every process started here, stopped last to first on exit

stop_all() {
    local k pid
    for ((k = ${#pids[@]} - 1; k >= 0; k--)); do kill "${pids[k]}" 2>/dev/null; done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    pids=()
}
clean_up() {
    stop_all
    rm -rf "$work"
}
trap clean_up EXIT
trap 'exit 1' INT TERM HUP

fail() {
    echo "FAIL [$case_name $route]: $*" >&2
    for log in "$work"/*.log; do [ -s "$log" ] && { echo "--- $log"; tail -n 5 "$log"; } >&2; done
    if [ -s "$work/stalls.log" ] && [ "$attempt" -lt $attempts ]; then
        echo "AGAIN [$case_name $route]: the machine stalled during attempt $attempt of $attempts:" \
            "$(sort -t' ' -k2 -g -r "$work/stalls.log" | head -n 3 | paste -sd';' - | sed 's/;/; /g')" >&2
        clean_up
        WAVE_SERVER_ATTEMPT=$((attempt + 1)) exec bash "$0" "${args[@]}"
    fi
    exit 1
}
now_ns() { date +%s%N; }
skip() {
    echo "SKIP [$case_name $route]: $*"
    exit 77
}

# start NAME COMMAND...: runs COMMAND in the background (killed with this shell
# should it die first), its output in $work/NAME.log; its pid in $last_pid.
start() {
    local name=$1
    shift
    setpriv --pdeathsig KILL "$@" >"$work/$name.log" 2>&1 &
    last_pid=$!
    pids+=("$last_pid")
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND until it succeeds.
wait_until() {
    local deadline=$(($(now_ns) + $1 * 1000000000)) what=$2
    shift 2
    until "$@" >/dev/null 2>&1; do
        [ "$(now_ns)" -lt $deadline ] || fail "timed out waiting for $what"
        sleep 0.05
    done
}

if [ "$route" = all ]; then
    [ "$case_name" = plays_to_the_end ] || fail "only plays_to_the_end runs all routes at once"
    status=0
    for r in pulseaudio pipewire pipewire-pulse; do
        setpriv --pdeathsig TERM bash "$0" "$case_name" "$r" "${args[@]:2}" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    pids=()
    exit $status
fi

# --- private servers -------------------------------------------------------------

needs() {
    for program; do
        command -v "$program" >/dev/null || skip "$program is not installed (scripts/install-deps.sh installs it)"
    done
}
needs parec pactl
case $route in
pulseaudio) needs pulseaudio ;;
pipewire*) needs dbus-daemon pipewire wireplumber pipewire-pulse ;;
esac
if [ "$route" = pipewire ] && [ ! -f "$pipewire_plugin" ]; then
    skip "PipeWire's ALSA plugin is missing (scripts/install-deps.sh provides it)"
fi

mkdir -p "$work"/{home,config,state,data,run}
chmod 700 "$work/run"
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state
export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
export PULSE_RUNTIME_PATH=$work/run/pulse PULSE_SERVER=unix:$work/run/pulse/native
export PULSE_CLIENTCONFIG=$work/client.conf DBUS_SESSION_BUS_ADDRESS=unix:path=$work/run/bus
unset DISPLAY WAYLAND_DISPLAY PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PULSE_SINK
echo "autospawn = no" >"$PULSE_CLIENTCONFIG"

# The watcher runs above the servers' real-time threads; where real-time priority
# is refused, there is no watcher, and no failure runs again.
if chrt -f 90 true 2>/dev/null; then
    start stalls chrt -f 90 "$stall_watch" $stall_ms
fi

sink_ready() { pactl info 2>/dev/null | grep -qx 'Default Sink: wave_sink'; }

start_pulseaudio() {
    mkdir -p "$work/run/pulse"
    cat >"$work/server.pa" <<EOF
load-module module-null-sink sink_name=wave_sink format=s16le rate=$rate channels=2
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/run/pulse/native
set-default-sink wave_sink
EOF
    start pulseaudio pulseaudio -n -F "$work/server.pa" --daemonize=no --exit-idle-time=-1 \
        --use-pid-file=no --log-target=stderr
    server_pid=$last_pid
    wait_until 20 "PulseAudio to start" sink_ready
}

# The graph runs in 23 ms cycles (PipeWire's usual), however small a latency the
# recorder asks for: with several servers' real-time threads sharing two cores,
# 12 ms cycles were sometimes missed, and the graph itself dropped one. The cases
# that record minutes of the song run in 46 ms cycles: over minutes, one of the
# machine's stalls outlasted a 23 ms cycle in about two runs of five.
quantum=1024
case $case_name in plays_to_the_end | under_load) quantum=2048 ;; esac
start_pipewire() {
    mkdir -p "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
    cat >"$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/wave-test.conf" <<EOF
context.properties = {
    default.clock.rate = $rate
    default.clock.allowed-rates = [ $rate ]
    default.clock.quantum = $quantum
    default.clock.min-quantum = $quantum
}
context.objects = [
    {   factory = adapter
        args = {
            factory.name = support.null-audio-sink
            node.name = wave_sink
            media.class = Audio/Sink
            audio.position = [ FL FR ]
            audio.rate = $rate
            object.linger = true
            priority.session = 2000
            priority.driver = 2000
        }
    }
]
EOF
    start dbus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
    wait_until 10 "the session bus" test -S "$work/run/bus"
    start pipewire pipewire
    pipewire_pid=$last_pid
    wait_until 10 "PipeWire to start" test -S "$work/run/pipewire-0"
    start wireplumber wireplumber
    start pipewire-pulse pipewire-pulse
    pipewire_pulse_pid=$last_pid
    wait_until 20 "PipeWire's sink and PulseAudio service" sink_ready
}

case $route in
pulseaudio)
    start_pulseaudio
    printf 'pcm.!default { type pulse }\n' >"$work/alsa.conf"
    ;;
pipewire)
    start_pipewire
    server_pid=$pipewire_pid
    printf 'pcm_type.pipewire { lib "%s" }\npcm.!default { type pipewire }\n' "$pipewire_plugin" \
        >"$work/alsa.conf"
    ;;
pipewire-pulse)
    start_pipewire
    server_pid=$pipewire_pulse_pid
    printf 'pcm.!default { type pulse }\n' >"$work/alsa.conf"
    ;;
*)
    fail "unknown route"
    ;;
esac

# --- the PCM, the recording and the player ---------------------------------------

# The PCM the player plays, captured through ALSA's file plugin and checked against the pinned hash.
printf 'pcm.!default { type file; slave.pcm { type null }; file "%s"; format "raw" }\n' \
    "$work/pcm.raw" >"$work/capture.conf"
ALSA_CONFIG_PATH=$work/capture.conf "$wave" </dev/null >/dev/null 2>&1 ||
    fail "the player could not capture its PCM"
# The capture may end in a little silence (the file plugin's held-back buffer is pushed out behind it).
pcm_bytes=31752000
[ "$(head -c $pcm_bytes "$work/pcm.raw" | sha256sum | cut -d' ' -f1)" = "$golden" ] ||
    fail "the captured PCM is not the pinned render"
[ -z "$(tail -c +$((pcm_bytes + 1)) "$work/pcm.raw" | tr -d '\0' | head -c 1)" ] ||
    fail "the capture goes on after the PCM with something other than silence"
head -c $pcm_bytes "$work/pcm.raw" >"$work/pcm.trimmed" && mv "$work/pcm.trimmed" "$work/pcm.raw"

# start_recording: records the sink's monitor into $work/rec.raw. The recorder runs
# at real-time priority where it may: starved under load, it would lose frames itself.
recorder_priority=()
chrt -f 20 true 2>/dev/null && recorder_priority=(chrt -f 20)
start_recording() {
    start parec "${recorder_priority[@]}" parec --latency-msec=20 -d wave_sink.monitor --raw --format=s16le --rate=$rate \
        --channels=2 --file-format=raw "$work/rec.raw"
    recorder_pid=$last_pid
    wait_until 10 "the recording to start" test -s "$work/rec.raw"
}
recorded_frames() { echo $(($(stat -c %s "$work/rec.raw") / 4)); }

# recording_position: how many frames the monitor has passed by now. The file
# grows in the recorder's blocks, so its size alone lags; the monitor runs in
# real time, so every earlier look gives a lower bound, and the highest of a
# few dozen is close to the truth.
recording_position() {
    local best=0 looks=() k t f now
    for _ in $(seq 30); do
        looks+=("$(now_ns) $(recorded_frames)")
        sleep 0.01
    done
    now=$(now_ns)
    for k in "${looks[@]}"; do
        read -r t f <<<"$k"
        f=$((f + (now - t) * rate / 1000000000))
        [ $f -gt $best ] && best=$f
    done
    echo $best
}

# start_player STDIN [ENV...]: starts the player on the server, standard output and error in files.
start_player() {
    local input=$1
    shift
    : >"$work/stderr"
    env ALSA_CONFIG_PATH="$work/alsa.conf" "$@" setpriv --pdeathsig KILL "$wave" <"$input" \
        >"$work/stdout" 2>"$work/stderr" &
    player_pid=$!
    pids+=("$player_pid")
    wait_until 30 "the player to start playing" grep -q '再生終わったら' "$work/stderr"
}

# wait_exit SECONDS: waits for the player to exit; sets $status and $exited_ns.
wait_exit() {
    local deadline=$((SECONDS + $1))
    while kill -0 "$player_pid" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "the player did not exit within $1 s"
        sleep 0.05
    done
    exited_ns=$(now_ns)
    wait "$player_pid"
    status=$?
}

# compare MIN_SECONDS: compares the recording with the PCM; the summary is in $work/compare.
compare() {
    "$compare" "$work/pcm.raw" "$work/rec.raw" "$1" >"$work/compare"
    local result=$?
    cat "$work/compare"
    return $result
}
matched_up_to() { sed -n 's/.*up to frame \([0-9]*\) of the recording.*/\1/p' "$work/compare"; }

# cpu_ticks PID and rss_kb PID: what the process has used so far.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# error_lines: the lines on standard error after the message box's.
error_lines() { grep -v -e '^\[Wave\]' -e 'OKを押すと' -e '再生終わったら' "$work/stderr"; }
has_error_line() { [ -n "$(error_lines)" ]; }

case $case_name in
plays_to_the_end)
    # No one answers: the whole song plays, exactly, and the player exits 0 within
    # 2 s of its end (a server that never reports the last frames played must not hold it).
    start_recording
    start_player /dev/null
    mark_frames=$(recording_position) mark_ns=$(now_ns)
    wait_exit 240
    [ $status -eq 0 ] || fail "exit status $status: $(error_lines)"
    sleep 0.3
    compare 179.9
    compared=$?
    [ -n "$(matched_up_to)" ] || fail "the recording is not the song"
    end_ns=$((mark_ns + ($(matched_up_to) - mark_frames) * 1000000000 / rate))
    late_ms=$(((exited_ns - end_ns) / 1000000))
    echo "exited $late_ms ms after the end of the song"
    [ $compared -eq 0 ] || fail "the recording is not the song"
    [ $late_ms -lt 2000 ] || fail "exited $late_ms ms after the end of the song"
    ;;
under_load)
    # Four busy loops at normal priority on the two cores: not one frame may be
    # lost, inserted or changed over 30 s.
    start_recording
    for _ in 1 2 3 4; do start busy bash -c 'while [ $SECONDS -lt 300 ]; do :; done'; done
    mkfifo "$work/answer"
    exec 3<>"$work/answer"
    start_player "$work/answer"
    sleep 32
    echo >&3
    wait_exit 10
    [ $status -eq 0 ] || fail "exit status $status: $(error_lines)"
    compare 30 || fail "frames lost under load"
    ;;
stops_promptly)
    # OK, SIGINT and SIGTERM in mid-play silence the sink within 100 ms.
    start_recording
    for stop in OK INT TERM; do
        rm -f "$work/answer"
        mkfifo "$work/answer"
        exec 3<>"$work/answer"
        start_player "$work/answer"
        sleep 3
        mark_frames=$(recording_position)
        if [ $stop = OK ]; then echo >&3; else kill -s $stop "$player_pid"; fi
        wait_exit 5
        exec 3>&-
        expected=0
        [ $stop = OK ] || expected=$((128 + $(kill -l $stop)))
        [ $status -eq $expected ] || fail "$stop: exit status $status, expected $expected"
        sleep 0.3
        kill "$recorder_pid"
        wait "$recorder_pid" 2>/dev/null
        compare 2.5 || fail "$stop: the recording is not the song"
        silent_ms=$((($(matched_up_to) - mark_frames) * 1000 / rate))
        echo "$stop: silent $silent_ms ms after the stop"
        [ $silent_ms -lt 100 ] || fail "$stop: the song went on for $silent_ms ms"
        rm -f "$work/rec.raw"
        start_recording
    done
    ;;
closed_descriptors)
    # Standard input, output and error all closed: the sound server's connection
    # must not take their place (the report would go into it, and the prompt would
    # read an answer back from it). The song plays until it is stopped.
    start_recording
    env ALSA_CONFIG_PATH="$work/alsa.conf" setpriv --pdeathsig KILL "$wave" <&- >&- 2>&- &
    player_pid=$!
    pids+=("$player_pid")
    sleep 4
    kill -0 "$player_pid" 2>/dev/null || fail "the player ended before it was stopped"
    kill -s TERM "$player_pid"
    wait_exit 5
    [ $status -eq 143 ] || fail "exit status $status, expected 143"
    sleep 0.3
    kill "$recorder_pid"
    wait "$recorder_pid" 2>/dev/null
    compare 2.5 || fail "the recording is not the song"
    ;;
server_lost | server_lost_at_prompt)
    # The server killed in mid-play: playback stops with one line on standard
    # error naming the device. With standard input at its end the player exits 1
    # at once; at an open prompt it waits for the answer, with CPU time and memory
    # flat meanwhile, and then exits 1.
    if [ $case_name = server_lost ]; then
        start_player /dev/null
    else
        mkfifo "$work/answer"
        exec 3<>"$work/answer"
        start_player "$work/answer"
    fi
    sleep 2
    kill -KILL "$server_pid"
    killed_ns=$(now_ns)
    if [ $case_name = server_lost ]; then
        wait_exit 5
        [ $status -eq 1 ] || fail "exit status $status, expected 1"
        took_ms=$(((exited_ns - killed_ns) / 1000000))
        echo "exited 1 in $took_ms ms"
        [ $took_ms -lt 2000 ] || fail "took $took_ms ms to exit"
    else
        cpu0=$(cpu_ticks "$player_pid") rss0=$(rss_kb "$player_pid")
        wait_until 2 "the error line" has_error_line
        sleep 3
        kill -0 "$player_pid" 2>/dev/null || fail "the player did not wait for an answer"
        cpu1=$(cpu_ticks "$player_pid") rss1=$(rss_kb "$player_pid")
        echo "from the loss to 3 s after the error line: $((cpu1 - cpu0)) ticks of CPU time," \
            "resident memory $rss0 -> $rss1 kB"
        [ $((cpu1 - cpu0)) -le 20 ] || fail "the player kept using CPU"
        [ $((rss1 - rss0)) -le 2048 ] || fail "the player kept taking memory"
        echo >&3
        wait_exit 5
        [ $status -eq 1 ] || fail "exit status $status after the answer, expected 1"
    fi
    lines=$(error_lines)
    echo "$lines"
    [ "$(echo "$lines" | wc -l)" -eq 1 ] || fail "expected one error line, got: $lines"
    [[ $lines == *'"default"'* ]] || fail "the error does not name the device: $lines"
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS [$case_name $route]"
