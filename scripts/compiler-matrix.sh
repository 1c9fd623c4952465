#!/usr/bin/env bash
# The render is defined to the bit, so it must not depend on the compiler or its
# optimisation: builds the golden test and the fast-path tests with gcc and clang
# at -O0, -O2 and -O3 -march=native (all with -ffp-contract=off) and runs them.
#
# usage: compiler-matrix.sh [--except-release]
#   --except-release  leaves out g++ -O2: the release build compiles the same
#                     objects with the same flags, and its tests (ctest --preset
#                     release, as scripts/test.sh runs them) cover that point
set -euo pipefail
cd "$(dirname "$0")/.."

except_release=false
case ${1:-} in
"") ;;
--except-release) except_release=true ;;
*)
    echo "usage: compiler-matrix.sh [--except-release]" >&2
    exit 2
    ;;
esac

jobs=$(nproc)
for compiler in g++ clang++; do
    for flags in "-O0" "-O2" "-O3 -march=native"; do
        if $except_release && [ "$compiler $flags" = "g++ -O2" ]; then
            echo "== $compiler $flags: the release build's, tested there"
            continue
        fi
        dir="build/matrix/${compiler}$(echo "$flags" | tr -d ' =-')"
        echo "== $compiler $flags"
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER="$compiler" \
            -DCMAKE_CXX_FLAGS="$flags" -DWAVE_TESTS=ON -DWAVE_TOOLS=OFF -DWAVE_BENCH=OFF \
            -DWAVE_SANITIZE=OFF >/dev/null
        cmake --build "$dir" -j"$jobs" --target wave_golden_test wave_unit_tests >/dev/null
        # Each test case in a process of its own, side by side: most renders are
        # on one thread, and at -O0 they take minutes one after another.
        ctest --test-dir "$dir" -j"$jobs" --no-tests=error --output-on-failure -L golden
        ctest --test-dir "$dir" -j"$jobs" --no-tests=error --output-on-failure -L unit \
            -R '^(Tracks/|Sine)'
    done
done
