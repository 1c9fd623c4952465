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

case $case_name in
test_build_after_play_build)
    # The player's configure first, then the test command's, in one folder: the
    # second must bring the tests back, and ctest must refuse to pass on none.
    bash "$source_dir/scripts/configure.sh" play "$work/build" || fail "the play configure failed"
    (cd "$work/build" && ctest --no-tests=error >/dev/null 2>&1) &&
        fail "ctest --no-tests=error passed in a build without tests"
    bash "$source_dir/scripts/configure.sh" release "$work/build" || fail "the release configure failed"
    listed=$(cd "$work/build" && ctest --no-tests=error -N | grep -c 'Test *#')
    [ "$listed" -gt 0 ] || fail "no tests after the test command's configure"
    (cd "$work/build" && ctest --no-tests=error -N | grep -q 'render\.') || fail "wave-render's tests are missing"
    grep -q 'no-tests=error' "$source_dir/scripts/test.sh" || fail "test.sh lets ctest pass on no tests"
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
