#!/usr/bin/env bash
# Configures the build folder of one purpose from its preset in CMakePresets.json,
# which sets every option the purpose relies on.
#
# usage: configure.sh PURPOSE [DIR] [CMAKE_ARGS...]
#   PURPOSE  play, release, asan, mingw or web (see `cmake --list-presets`)
#   DIR      another build folder than the preset's build/PURPOSE
set -euo pipefail
cd "$(dirname "$0")/.."

purpose=${1:-}
[ -n "$purpose" ] || { echo "usage: configure.sh play|release|asan|mingw|web [DIR] [CMAKE_ARGS...]" >&2; exit 2; }
shift
dir=()
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
    dir=(-B "$1")
    shift
fi
cmake --preset "$purpose" "${dir[@]}" "$@" >/dev/null
