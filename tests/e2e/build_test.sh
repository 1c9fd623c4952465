#!/usr/bin/env bash
# How the project is configured, built and installed, run as a user runs it.
#
# usage: build_test.sh CASE BUILD_DIR
set -u
case_name=$1 build=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }

# copy_source DIR: the source tree as a fresh clone would have it, without any
# build folder, so that a build in the copy leaves the user's own alone. Files
# not yet committed are included; ignored ones are not.
copy_source() {
    mkdir -p "$1"
    if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
            xargs -0 cp --parents -t "$1") || fail "cannot copy the source"
    else
        (cd "$source_dir" && tar --exclude=./build --exclude=node_modules -cf - .) | tar -C "$1" -xf - ||
            fail "cannot copy the source"
    fi
}

case $case_name in
test_build_after_play_build)
    # The player's preset and the release preset configure folders of their own:
    # the play build never leaves the release build without its tests or tools.
    # And a preset sets every option again, whatever was changed by hand.
    copy_source "$work/src"
    cd "$work/src" || fail "no copy"
    cmake --preset play >/dev/null || fail "the play configure failed"
    grep -qx 'WAVE_TOOLS:BOOL=OFF' build/play/CMakeCache.txt || fail "the play preset builds wave-render"
    # The release folder first configured by hand without tests or tools: its
    # test preset must refuse to pass on no tests...
    cmake --preset release -DWAVE_TESTS=OFF -DWAVE_TOOLS=OFF >/dev/null || fail "the configure by hand failed"
    timeout 60 ctest --preset release >/dev/null 2>&1 && fail "the release test preset passed in a build without tests"
    # ...and the preset alone brings both back.
    cmake --preset release >/dev/null || fail "the release configure failed"
    grep -qx 'WAVE_TOOLS:BOOL=ON' build/release/CMakeCache.txt || fail "the preset kept WAVE_TOOLS=OFF"
    ctest --test-dir build/release -N | grep -q 'render\.' || fail "wave-render's tests are missing"
    grep -qx 'WAVE_TOOLS:BOOL=OFF' build/play/CMakeCache.txt || fail "the release configure changed the play build"
    # Every purpose has a configure and a build preset, each its own folder, and
    # every preset that has tests a test preset; quick is a part of release.
    python3 - CMakePresets.json <<'PY' || fail "the presets are incomplete"
import json, sys
presets = json.load(open(sys.argv[1]))
configure = {p["name"]: p for p in presets["configurePresets"]}
def folder(name):
    p = configure[name]
    while "binaryDir" not in p:
        p = configure[p["inherits"]]
    return p["binaryDir"].replace("${presetName}", name)
purposes = ["play", "release", "asan", "mingw", "web"]
builds = {p["name"]: p["configurePreset"] for p in presets["buildPresets"]}
tests = {p["name"]: p.get("configurePreset") for p in presets["testPresets"]}
problems = [f"no presets for {n}" for n in purposes if n not in configure or builds.get(n) != n]
if len({folder(n) for n in purposes}) != len(purposes):
    problems.append("two purposes share a folder")
problems += [f"no test preset {n}" for n in ["release", "asan", "web"] if tests.get(n) != n]
if tests.get("quick") != "release":
    problems.append("no quick test preset on the release build")
print("\n".join(problems), file=sys.stderr)
sys.exit(1 if problems else 0)
PY
    ;;
readme_commands_run)
    # Every shell block of the README is run as written, in a copy of the source
    # tree, unless it needs a person or a sound card; a block the table below does
    # not know fails the test, so that a new example is run here or excused.
    # First the README's first command and its build by hand, in that order,
    # which are what a new user does; then the other blocks in the README's order.
    # The player has no device (ALSA's configuration is empty), so play.sh renders,
    # says so and exits 1 instead of playing; aplay plays into ALSA's file plugin.
    copy_source "$work/src"
    cd "$work/src" || fail "no copy"
    mkdir "$work/blocks" "$work/tmp"
    awk -v dir="$work/blocks" '
        /^```sh$/ { n++; file = sprintf("%s/%02d.sh", dir, n); inside = 1; next }
        /^```$/ { if (inside) close(file); inside = 0; next }
        inside { print > file }' README.md
    : >"$work/empty.conf"
    printf 'pcm.!default { type file; slave.pcm { type null }; file "%s"; format "raw" }\n' \
        "$work/aplay.raw" >"$work/aplay.conf"
    first=() rest=()
    for block in "$work"/blocks/*.sh; do
        case $(head -n 1 "$block") in
        "bash scripts/play.sh "*)
            # Its second line, test.sh, runs the whole suite, this test included.
            head -n 1 "$block" >"$block.first" && first[0]=$block.first ;;
        "bash scripts/install-deps.sh build "*) first[1]=$block ;;
        "cat > /tmp/capture.conf <<'CONF'" | "wave-render song.flac "* | "cmake --preset mingw "* | \
            "wave-render song.mid "* | \
            "build/release/tools/wave-render --full --quiet - "*) rest+=("$block") ;;
        "export WINEDLLOVERRIDES="*) ;;         # a person answers the box on a display
        "bash scripts/web.sh "*) ;;             # serves until Ctrl-C
        "build/release/bench/wave_bench "*) ;;  # timings; build.bench_scripts_measure runs the scripts
        "bench/web-vs-native.sh "*) ;;         # timings, against the web build this copy lacks
        *) fail "README block $(basename "$block") is neither run nor excused here: $(head -n 1 "$block")" ;;
        esac
    done
    [ ${#first[@]} -eq 2 ] || fail "the README lost play.sh or the build by hand"
    export PATH=$work/src/build/release/tools:$PATH  # the examples call wave-render by name
    for block in "${first[@]}" "${rest[@]}"; do
        sed "s|/tmp/|$work/tmp/|g" "$block" >"$work/run.sh"
        want=0 conf=$work/aplay.conf
        case $block in *.first) want=1 conf=$work/empty.conf ;; esac
        ALSA_CONFIG_PATH=$conf bash -eo pipefail "$work/run.sh" </dev/null >"$work/out" 2>"$work/err"
        status=$?
        [ $status -eq $want ] ||
            fail "README: '$(head -n 1 "$block")' ended with $status, expected $want: $(tail -n 5 "$work/err")"
        case $(head -n 1 "$block") in
        "bash scripts/play.sh "*)
            grep -q '^wave: cannot open the default audio device' "$work/err" ||
                fail "play.sh did not reach the player: $(tail -n 5 "$work/err")" ;;
        "bash scripts/install-deps.sh build "*)
            grep -q '^wave-render [0-9]' "$work/out" || fail "no wave-render after the build by hand: $(tail -n 3 "$work/out")" ;;
        "cat > /tmp/capture.conf"*)
            [ "$(soxi -s "$work/tmp/wave.wav")" -ge 7938000 ] || fail "the capture is not the whole song" ;;
        "wave-render song.flac "*)
            [ "$(stat -c %s "$work/aplay.raw")" -gt 10000000 ] || fail "aplay played no song" ;;
        "cmake --preset mingw "*)
            [ -f build/mingw/app/wave.exe ] || fail "no wave.exe" ;;
        "wave-render song.mid "*)
            [ -s song.mid ] && [ "$(ls stems/*.flac | wc -l)" -eq 7 ] || fail "no score or no stems: $(ls)" ;;
        "build/release/tools/wave-render --full --quiet - "*)
            [ "$(cut -d' ' -f1 "$work/out" | sort -u | wc -l)" -eq 1 ] || fail "the hashes differ: $(cat "$work/out")" ;;
        esac
        echo "ran: $(head -n 1 "$block")"
    done
    ;;
readme_explains_the_report)
    # One paragraph of the README says what each kind of line of the player's
    # report means, every voice number of "Render Track ch[N]" included.
    source "$source_dir/tests/e2e/report.sh"
    paragraph=$(awk -v RS= '/`Render Track ch\[N\]`/' "$source_dir/README.md" | tr '\n' ' ')
    [ -n "$paragraph" ] || fail "the README does not explain the report"
    while IFS= read -r kind; do
        line=$(expected_report | grep -m 1 -F "$kind")
        case $kind in
        "Render Track ch") shown='`Render Track ch[N]`' ;;
        detune) shown='`detune = …`' ;;
        *) shown="\`$line\`" ;;
        esac
        grep -qF -- "$shown" <<<"$paragraph" || fail "the README does not explain '$line' (as $shown)"
    done < <(expected_report | sed 's/ *[=[].*//' | sort -u)
    for voice in $(expected_report | sed -n 's/^Render Track ch\[\([0-9]*\)\]$/\1/p' | sort -u); do
        grep -Eq "[(,] ?$voice [a-z]" <<<"$paragraph" || fail "the README does not say what voice $voice is"
    done
    ;;
bench_scripts_measure)
    # The whole-process comparison and the time to first sound, once each: they
    # must run to the end and print a ratio for every program they time.
    cd "$source_dir"
    bench/compare.sh --runs 1 "$build" >"$work/compare" 2>"$work/compare_err" ||
        fail "compare.sh failed: $(cat "$work/compare_err")"
    for row in 'bench/wave-literal' 'wave-render --threads 1' 'wave-render --threads 2'; do
        grep -Eq "$row.* median +[0-9.]+ ms +1/[0-9.]+ of the literal render" "$work/compare" ||
            fail "compare.sh printed no ratio for '$row': $(cat "$work/compare")"
    done
    # The literal render calls the C library's sin, which gives the exact sine's
    # bits for this song with glibc: a difference means the program is not literal.
    ! grep -q differs "$work/compare_err" || fail "the literal render's file differs from wave-render's"
    bench/first-sound.sh --runs 1 "$build" >"$work/first" 2>"$work/first_err" ||
        fail "first-sound.sh failed: $(cat "$work/first_err")"
    grep -Eq '^time to first sound, median of 1: +[0-9.]+ ms$' "$work/first" &&
        grep -Eq '^ratio: 1/[0-9.]+ of the literal render$' "$work/first" ||
        fail "first-sound.sh printed no figures: $(cat "$work/first")"
    for script in compare.sh first-sound.sh; do
        bench/$script --help | grep -q -- --runs || fail "$script --help does not describe --runs"
        bench/$script --runs 0 "$build" 2>/dev/null
        [ $? -eq 2 ] || fail "$script accepted --runs 0"
    done
    ;;
installs_into_a_prefix)
    prefix=$work/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
    for program in wave wave-render; do
        [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed"
    done
    "$prefix/bin/wave-render" --version | grep -q '^wave-render [0-9]' || fail "the installed wave-render has no version"
    for page in wave wave-render; do
        file=$prefix/share/man/man1/$page.1
        [ -f "$file" ] || fail "no manual page for $page"
        mandoc -T lint -W warning "$file" >"$work/lint" 2>&1 || fail "$page.1 is not clean: $(cat "$work/lint")"
        MANPAGER=cat MANWIDTH=80 man -l "$file" >"$work/page" 2>"$work/man_err" || fail "man cannot show $page.1"
        [ ! -s "$work/man_err" ] || fail "man complains about $page.1: $(cat "$work/man_err")"
        grep -q "^NAME" "$work/page" && grep -q "$page -" "$work/page" || fail "$page.1 has no NAME section"
    done
    # Every option a program's help lists is in its manual page.
    for program in wave wave-render; do
        MANPAGER=cat man -l "$prefix/share/man/man1/$program.1" >"$work/page" 2>/dev/null
        for option in $("$prefix/bin/$program" --help | grep -o -- ' --[a-z]*' | sort -u); do
            grep -q -- "$option" "$work/page" || fail "$program(1) does not describe $option"
        done
    done
    # The desktop entry: clean for the desktop's own checker, run in a terminal
    # (the prompt is there), starting the installed player, with its icon installed.
    entry=$prefix/share/applications/wave.desktop
    [ -f "$entry" ] || fail "no desktop entry"
    desktop-file-validate "$entry" >"$work/validate" 2>&1 && [ ! -s "$work/validate" ] ||
        fail "the desktop entry is not clean: $(cat "$work/validate")"
    key() { sed -n "s/^$1=//p" "$entry"; }
    [ "$(key Terminal)" = true ] || fail "the desktop entry does not run in a terminal"
    [ "$(key Type)" = Application ] || fail "the desktop entry is not an application"
    [ -x "$prefix/bin/$(key Exec | cut -d' ' -f1)" ] || fail "the desktop entry runs '$(key Exec)', which is not installed"
    icon=$prefix/share/icons/hicolor/scalable/apps/$(key Icon).svg
    [ -f "$icon" ] || fail "no icon $icon"
    python3 -c 'import sys, xml.etree.ElementTree as E
root = E.parse(sys.argv[1]).getroot()
sys.exit(root.tag != "{http://www.w3.org/2000/svg}svg" or "viewBox" not in root.attrib)' "$icon" ||
        fail "the icon is not an SVG image"
    for doc in README.md LICENSE; do
        [ -f "$prefix/share/doc/wave/$doc" ] || fail "$doc is not installed"
    done
    grep -q "MIT License" "$prefix/share/doc/wave/LICENSE" || fail "the licence is not MIT"
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS [$case_name]"
