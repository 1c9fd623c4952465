#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build and the tests need and the
# machine lacks. Run as root. `install-deps.sh play` installs only what the
# player needs to build and run.
set -euo pipefail

packages=(cmake make g++ pkg-config libasound2-dev)
if [ "${1:-all}" != play ]; then
    packages+=(googletest libgtest-dev libbenchmark-dev clang clang-format)
    # wave-render, and sox to read back what it writes.
    packages+=(libsndfile1-dev sox)
    # The Windows build and its test under Wine.
    packages+=(g++-mingw-w64-x86-64-posix wine64 xvfb xdotool)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
