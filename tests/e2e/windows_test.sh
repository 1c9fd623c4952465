#!/usr/bin/env bash
# The Windows player under Wine, run as a user runs it: a private X display for
# the message box, a fresh Wine prefix, and ALSA's file plugin under Wine's
# WINMM so that what is played lands in a capture file. The capture must equal,
# byte for byte, what the Linux player plays.
#
# The box is photographed before Return, into SCREENSHOT: its Japanese text
# shows only where the system has a Japanese font (scripts/install-deps.sh
# installs one), else as empty squares.
#
# usage: windows_test.sh WAVE_EXE LINUX_WAVE SCREENSHOT
set -u
exe=$1 linux_wave=$2 screenshot=$3
readonly wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
readonly min_capture=$((20 * 176400))  # 20 s of audio

work=$(mktemp -d)
pids=()
# Every process that runs in our prefix: Wine starts services of its own.
prefix_pids() {
    grep -l -z -x -F "WINEPREFIX=$work/prefix" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
}
cleanup() {
    WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null
    for pid in "${pids[@]}" $(prefix_pids); do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    sleep 1
    for pid in $(prefix_pids); do kill -9 "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL [windows]: $*" >&2; exit 1; }
support=$(cd "$(dirname "$0")/../support" && pwd)
note() { echo "[windows] $*"; }

source "$(dirname "$0")/report.sh"
check_report() {  # the console translates \n to \r\n
    diff <(expected_report) <(tr -d '\r' <"$1") >/dev/null || fail "standard output is not the report"
}
find_box() { xdotool search --name '^Wave$' 2>/dev/null | head -n 1; }

# Wine draws the box's text with the system's fonts, through fontconfig.
fc-list :lang=ja family | grep -q . || fail "no Japanese font: the box would show empty squares"

# A private display (its screen kept in $work/Xvfb_screen0 for the screenshot)
# and a Wine server for a fresh prefix, both ours to stop.
Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 -fbdir "$work" 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
export WINEPREFIX=$work/prefix WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
"$wineserver" -f -p &
pids+=($!)
start=$SECONDS
"$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
# A fresh prefix draws the box in Tahoma, which has no Japanese: the system's
# Japanese font is linked to it as its fallback, as a Japanese Windows does.
font=$(readlink -f "$(fc-match -f '%{file}' ':lang=ja')")
family=$(fc-match -f '%{family[0]}' ':lang=ja')
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v Tahoma /t REG_MULTI_SZ /d "$(basename "$font"),$family" /f >/dev/null 2>&1 ||
    fail "cannot link the Japanese font"
note "prefix ready in $((SECONDS - start)) s"

printf 'pcm.!default { type file; slave.pcm { type null }; file "%s"; format "raw" }\n' \
    "$work/linux.raw" >"$work/linux.conf"
ALSA_CONFIG_PATH=$work/linux.conf "$linux_wave" </dev/null >/dev/null 2>&1 ||
    fail "the Linux player did not play"

# 1. No device: one error line, exit 1, and no message box at any moment.
: >"$work/empty.conf"
ALSA_CONFIG_PATH=$work/empty.conf "$wine" "$exe" >"$work/stdout_nodev" 2>"$work/stderr_nodev" &
pid=$!
while kill -0 $pid 2>/dev/null; do
    [ -z "$(find_box)" ] || fail "a message box appeared without a device"
    sleep 0.2
done
wait $pid
status=$?
[ $status -eq 1 ] || fail "without a device: exit status $status, expected 1"
check_report "$work/stdout_nodev"
# Wine's own ALSA driver reports its failed lookups too; they are not the program's.
grep -v '^ALSA lib ' "$work/stderr_nodev" | tr -d '\r' >"$work/errors"
[ "$(wc -l <"$work/errors")" -eq 1 ] || fail "expected one error line, got: $(cat "$work/errors")"
grep -q '^wave: cannot open the default audio device: ' "$work/errors" ||
    fail "unexpected error line: $(cat "$work/errors")"
note "no device: $(cat "$work/errors")"

# 2. Play: 20 s of audio or more, then Return in the box ends the program.
printf 'pcm.!default { type file; slave.pcm { type null }; file "%s"; format "raw" }\n' \
    "$work/wine.raw" >"$work/wine.conf"
start=$SECONDS
ALSA_CONFIG_PATH=$work/wine.conf "$wine" "$exe" >"$work/stdout" 2>"$work/stderr" &
pid=$!
while [ "$(stat -c %s "$work/wine.raw" 2>/dev/null || echo 0)" -lt $min_capture ]; do
    kill -0 $pid 2>/dev/null || fail "the player ended early: $(cat "$work/stderr")"
    [ $((SECONDS - start)) -lt 180 ] || fail "no 20 s of audio within 180 s"
    sleep 0.5
done
box=$(find_box)
[ -n "$box" ] || fail "no window titled Wave"
cp "$work/Xvfb_screen0" "$work/screen.xwd"
python3 "$support/xwd_to_png.py" "$work/screen.xwd" "$screenshot" || fail "cannot take the screenshot"
note "the box: $screenshot"
# Its two lines of text hold some thirty different characters; drawn without a
# font for them, they would be one empty square over and over.
eval "$(xdotool getwindowgeometry --shell "$box")"
shapes=$(python3 "$support/xwd_to_png.py" "$work/screen.xwd" --shapes "$X" "$Y" "$WIDTH" "$HEIGHT")
note "the box shows $shapes different shapes"
[ "$shapes" -ge 20 ] || fail "the box's text is not drawn: $shapes different shapes"
xdotool key --window "$box" Return 2>/dev/null
pressed_ns=$(date +%s%N)
for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
kill -0 $pid 2>/dev/null && fail "Return did not end the player within 5 s"
wait $pid
status=$?
elapsed_ms=$((($(date +%s%N) - pressed_ns) / 1000000))
[ $status -eq 0 ] || fail "exit status $status: $(cat "$work/stderr")"
check_report "$work/stdout"
size=$(stat -c %s "$work/wine.raw")
cmp -s -n "$size" "$work/wine.raw" "$work/linux.raw" ||
    fail "the Windows build played other bytes: $(cmp -n "$size" "$work/wine.raw" "$work/linux.raw")"
note "ended $elapsed_ms ms after Return; $size captured bytes equal the Linux build's"
echo "PASS [windows]"
