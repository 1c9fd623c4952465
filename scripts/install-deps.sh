#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build and the tests need and the
# machine lacks. Run as root.
#   install-deps.sh play    what the player needs to build and run
#   install-deps.sh build   what both programs, wave and wave-render, need
#   install-deps.sh [all]   everything the tests need as well
set -euo pipefail

mode=${1:-all}
case $mode in
play | build | all) ;;
*)
    echo "usage: install-deps.sh [play|build|all]" >&2
    exit 2
    ;;
esac

packages=(cmake make g++ pkg-config libasound2-dev)
if [ "$mode" != play ]; then
    # wave-render: the encoders, and the resampler for Opus.
    packages+=(libsndfile1-dev libsoxr-dev)
fi
if [ "$mode" = all ]; then
    packages+=(googletest libgtest-dev libbenchmark-dev clang clang-format)
    # Independent readers of what wave-render writes, and of its manual pages.
    packages+=(sox flac vorbis-tools opus-tools mpg123 mandoc man-db strace)
    # The Windows build and its test under Wine.
    packages+=(g++-mingw-w64-x86-64-posix wine64 xvfb xdotool)
    # The web player, and the browser its test drives.
    packages+=(emscripten chromium)
    command -v npm >/dev/null || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
fi

if [ "$mode" = all ]; then
    # The web player's test driver, as locked; it drives Debian's chromium and downloads no browser.
    (cd "$(dirname "$0")/../tests/web" && npm ci --no-audit --no-fund --loglevel=error)
fi
