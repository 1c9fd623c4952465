#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build and the tests need and the
# machine lacks. Run as root.
#   install-deps.sh play    what the player needs to build and run
#   install-deps.sh build   what the release build needs: both programs, wave and
#                           wave-render, their tests and the benchmark
#   install-deps.sh web     what the web player needs to build and be served
#   install-deps.sh [all]   everything the tests need as well
set -euo pipefail

mode=${1:-all}
case $mode in
play | build | web | all) ;;
*)
    echo "usage: install-deps.sh [play|build|web|all]" >&2
    exit 2
    ;;
esac

packages=(cmake make g++ pkg-config libasound2-dev)
if [ "$mode" = web ]; then
    packages=(cmake make emscripten python3)
elif [ "$mode" != play ]; then
    # wave-render: the encoders, the resampler for Opus and the MIDI writer; aplay plays what it
    # writes to standard output, as the README shows.
    packages+=(libsndfile1-dev libsoxr-dev libsmf-dev alsa-utils)
    # The release preset's tests and benchmark.
    packages+=(googletest libgtest-dev libbenchmark-dev)
fi
if [ "$mode" = all ]; then
    packages+=(clang clang-format hyperfine)
    # Independent readers of what wave-render writes, and of its manual pages.
    packages+=(sox flac vorbis-tools opus-tools mpg123 mandoc man-db strace python3-mido)
    # The checker of the installed desktop entry.
    packages+=(desktop-file-utils)
    # The Windows build and its test under Wine, with a Japanese font for the box's text.
    packages+=(g++-mingw-w64-x86-64-posix wine64 xvfb xdotool fonts-ipafont-gothic)
    # The web player, and the browser its test drives.
    packages+=(emscripten chromium firefox-esr)
    command -v npm >/dev/null || packages+=(npm)
    # The sound-server tests: PulseAudio and PipeWire side by side (see pipewire_alsa_plugin).
    packages+=(pulseaudio-utils libasound2-plugins pipewire pipewire-bin pipewire-pulse wireplumber
        dbus-daemon)
    # ...except where pipewire-alsa is installed: pulseaudio would displace it (the
    # PulseAudio tests are then skipped).
    dpkg-query -W -f='${Status}' pipewire-alsa 2>/dev/null | grep -q "install ok installed" ||
        packages+=(pulseaudio)
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

# PipeWire's ALSA plugin for the sound-server tests. Its package, pipewire-alsa,
# conflicts with pulseaudio (each would own ALSA's default device), so the plugin
# is taken out of the package, matching the installed PipeWire, into a folder that
# only the tests' own ALSA configuration names.
pipewire_alsa_plugin() {
    local dir=/usr/local/lib/wave-tests/alsa-lib version tmp
    version=$(dpkg-query -W -f='${Version}' libpipewire-0.3-0)
    [ "$(cat "$dir/pipewire-alsa.version" 2>/dev/null)" = "$version" ] && return
    echo "extracting PipeWire's ALSA plugin $version"
    tmp=$(mktemp -d)
    chown _apt "$tmp" 2>/dev/null || true
    (cd "$tmp" && { apt-get download -q "pipewire-alsa=$version" ||
        { apt-get update -q && apt-get download -q "pipewire-alsa=$version"; }; })
    dpkg-deb -x "$tmp"/pipewire-alsa_*.deb "$tmp/root"
    install -D -m 644 "$tmp"/root/usr/lib/*/alsa-lib/libasound_module_pcm_pipewire.so \
        "$dir/libasound_module_pcm_pipewire.so"
    echo "$version" >"$dir/pipewire-alsa.version"
    rm -rf "$tmp"
}
if [ "$mode" = all ] && ! dpkg-query -W -f='${Status}' pipewire-alsa 2>/dev/null | grep -q "install ok installed"; then
    pipewire_alsa_plugin
fi
