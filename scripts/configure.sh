#!/usr/bin/env bash
# Configures a build folder for one purpose, setting every option that purpose
# relies on, so that whatever an earlier configure left in the folder's cache
# does not change what is built.
#
# usage: configure.sh PURPOSE DIR [CMAKE_ARGS...]
#   play     the player alone, optimised
#   release  both programs, the tests and the benchmark, optimised
#   asan     both programs and the tests, with AddressSanitizer and UBSan
#   mingw    the Windows player, cross-built with mingw-w64
set -euo pipefail
cd "$(dirname "$0")/.."

purpose=${1:-} dir=${2:-}
[ -n "$dir" ] || { echo "usage: configure.sh play|release|asan|mingw DIR [CMAKE_ARGS...]" >&2; exit 2; }
shift 2

case $purpose in
play) args=(-DCMAKE_BUILD_TYPE=Release -DWAVE_TESTS=OFF -DWAVE_BENCH=OFF -DWAVE_TOOLS=OFF -DWAVE_SANITIZE=OFF) ;;
release) args=(-DCMAKE_BUILD_TYPE=Release -DWAVE_TESTS=ON -DWAVE_BENCH=ON -DWAVE_TOOLS=ON -DWAVE_SANITIZE=OFF) ;;
asan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DWAVE_TESTS=ON -DWAVE_BENCH=OFF -DWAVE_TOOLS=ON -DWAVE_SANITIZE=ON
    -DWAVE_WINDOWS_EXE=) ;;
mingw) args=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release -DWAVE_TESTS=OFF
    -DWAVE_BENCH=OFF -DWAVE_TOOLS=OFF -DWAVE_SANITIZE=OFF) ;;
*)
    echo "configure.sh: unknown purpose '$purpose'" >&2
    exit 2
    ;;
esac
cmake -S . -B "$dir" "${args[@]}" "$@" >/dev/null
