#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: a release build
# (with the cross-built Windows player under Wine), the pinned render with gcc
# and clang at several optimisation levels, and a build with AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh all

jobs=$(nproc)
run_suite() {  # run_suite DIR CMAKE_ARGS...
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

echo "== formatting"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== Windows build (mingw-w64)"
cmake -S . -B build/mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DWAVE_TESTS=OFF -DWAVE_BENCH=OFF -DWAVE_TOOLS=OFF >/dev/null
cmake --build build/mingw -j"$jobs"

echo "== release build, with the Windows build run under Wine"
run_suite build/release -DCMAKE_BUILD_TYPE=Release -DWAVE_WINDOWS_EXE="$PWD/build/mingw/app/wave.exe"
echo "== the pinned render across compilers and optimisation levels"
bash scripts/compiler-matrix.sh

echo "== sanitizer build (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWAVE_SANITIZE=ON -DWAVE_BENCH=OFF
