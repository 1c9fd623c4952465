#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: a release build
# (with the cross-built Windows player under Wine), the pinned render with gcc
# and clang at several optimisation levels, and a build with AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh all

jobs=$(nproc)
# Each stage builds in its preset's own folder (CMakePresets.json), and its preset
# sets every option the stage relies on; ctest fails when it finds no tests.
run_suite() {  # run_suite PRESET CMAKE_ARGS...
    cmake --preset "$@" >/dev/null
    cmake --build --preset "$1" -j"$jobs"
    ctest --preset "$1" -j"$jobs"
}

echo "== formatting"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== Windows build (mingw-w64)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j"$jobs"

echo "== release build, with the Windows build run under Wine"
run_suite release -DWAVE_WINDOWS_EXE="$PWD/build/mingw/app/wave.exe"
echo "== the pinned render across compilers and optimisation levels"
bash scripts/compiler-matrix.sh

echo "== web player: its render under node, the page in headless Chromium and Firefox ESR"
# The release build's wave-render makes the WAV the page's download must equal.
cmake --preset web -DWAVE_NATIVE_RENDER="$PWD/build/release/tools/wave-render" >/dev/null
cmake --build --preset web -j"$jobs"
ctest --preset web

echo "== sanitizer build (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite asan
