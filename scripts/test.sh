#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: a release build
# (with the cross-built Windows player under Wine), the pinned render with gcc
# and clang at several optimisation levels, the web player, and a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
# Tests paced by real time rather than by the CPU (the player through the sound
# servers and ALSA: label `paced` in tests/CMakeLists.txt) run beside the
# CPU-bound tests of the release build; those that must play without that load
# (label `alone`: every recording through a sound server, Wine) run after them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh all

jobs=$(nproc)
stage() { echo "== [$SECONDS s] $*"; }

# beside NAME COMMAND...: starts COMMAND beside the stages that follow, in a
# process group of its own, its output kept until beside_done shows it.
beside_pid="" beside_name="" beside_log=""
beside() {
    beside_name=$1
    shift
    beside_log=$(mktemp)
    stage "$beside_name: started beside what follows (its output when it ends)"
    setsid "$@" >"$beside_log" 2>&1 &
    beside_pid=$!
}
# beside_done: waits for the command beside, shows its output and fails as it failed.
beside_done() {
    local status=0
    wait "$beside_pid" || status=$?
    stage "$beside_name: ended with status $status"
    cat "$beside_log"
    rm -f "$beside_log"
    beside_pid=""
    return $status
}
# When a stage fails, a command still running beside it is stopped, and what it said so far shown.
stop_beside() {
    [ -n "$beside_pid" ] || return 0
    kill -TERM -- "-$beside_pid" 2>/dev/null || true
    wait "$beside_pid" 2>/dev/null || true
    stage "$beside_name: stopped, as a stage failed"
    cat "$beside_log"
    rm -f "$beside_log"
}
trap stop_beside EXIT

# Each stage builds in its preset's own folder (CMakePresets.json), and its preset
# sets every option the stage relies on; ctest fails when it finds no tests.
build() {  # build PRESET CMAKE_ARGS...
    cmake --preset "$@" >/dev/null
    cmake --build --preset "$1" -j"$jobs"
}
# Each preset's tests in two lanes: those paced by real time beside, the CPU-bound
# ones in front. The test labelled `builds` (the README's commands, in a fresh copy
# of the source) does the same whatever the build folder: it runs once, on its own.
paced_beside() {  # paced_beside PRESET [ENV...]
    beside "$1 tests paced by real time" env "${@:2}" ctest --preset "$1" -j"$jobs" -L paced -LE alone
}
cpu_bound() {  # cpu_bound PRESET [ENV...]
    stage "$1 tests bound by the CPU"
    env "${@:2}" ctest --preset "$1" -j"$jobs" -LE 'paced|builds'
}

stage "formatting"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

stage "Windows build (mingw-w64)"
build mingw

stage "release build, with the Windows build run under Wine"
build release -DWAVE_WINDOWS_EXE="$PWD/build/mingw/app/wave.exe"
paced_beside release
cpu_bound release
beside_done

# The tests that play without the CPU-bound tests' load: every recording through
# a sound server, Wine, the Ctrl-C race. Beside that load, PipeWire's graph now and
# then lost a cycle, even with the load at the lowest priority. Two run at a time;
# those marked RUN_SERIAL (the whole song through every server, the servers under
# load, Wine) each on their own.
stage "release tests that play alone"
ctest --preset release -j"$jobs" -L alone

stage "the README's commands in a fresh copy"
ctest --preset release -L builds
stage "the pinned render across compilers and optimisation levels"
bash scripts/compiler-matrix.sh --except-release
stage "web build"
# The release build's wave-render makes the WAV the page's download must equal.
cmake --preset web -DWAVE_NATIVE_RENDER="$PWD/build/release/tools/wave-render" >/dev/null
cmake --build --preset web -j"$jobs"
stage "sanitizer build (ASan + UBSan)"
build asan

# The sanitizer build's tests as before, all in one ctest: its slow player, beside
# its CPU-bound tests and the browsers, recorded too little of the song.
stage "sanitizer tests (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --preset asan -j"$jobs" -LE builds
stage "web player: its render under node, the page in headless Chromium and Firefox ESR"
ctest --preset web
stage "all passed"
