#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: a release build
# (with the cross-built Windows player under Wine), the pinned render with gcc
# and clang at several optimisation levels, and a build with AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh all

jobs=$(nproc)
# configure.sh sets every option a stage relies on, whatever an earlier configure
# of the same folder left in its cache; ctest fails when it finds no tests.
run_suite() {  # run_suite PURPOSE DIR CMAKE_ARGS...
    local dir=$2
    bash scripts/configure.sh "$@"
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$jobs"
}

echo "== formatting"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== Windows build (mingw-w64)"
bash scripts/configure.sh mingw build/mingw
cmake --build build/mingw -j"$jobs"

echo "== release build, with the Windows build run under Wine"
run_suite release build/release -DWAVE_WINDOWS_EXE="$PWD/build/mingw/app/wave.exe"
echo "== the pinned render across compilers and optimisation levels"
bash scripts/compiler-matrix.sh

echo "== web player: its render under node, the page in headless Chromium and Firefox ESR"
export NODE_PATH=/usr/share/nodejs  # em++ finds its JavaScript tools there under any node
# The release build's wave-render makes the WAV the page's download must equal.
emcmake cmake -S . -B build/web -DCMAKE_BUILD_TYPE=Release -DWAVE_TESTS=ON -DWAVE_SANITIZE=OFF \
    -DWAVE_NATIVE_RENDER="$PWD/build/release/tools/wave-render" >/dev/null
cmake --build build/web -j"$jobs"
ctest --test-dir build/web --output-on-failure --no-tests=error

echo "== sanitizer build (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite asan build/asan
