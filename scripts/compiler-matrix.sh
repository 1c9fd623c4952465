#!/usr/bin/env bash
# The render is defined to the bit, so it must not depend on the compiler or its
# optimisation: builds the golden test and the fast-path tests with gcc and clang
# at -O0, -O2 and -O3 -march=native (all with -ffp-contract=off) and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
for compiler in g++ clang++; do
    for flags in "-O0" "-O2" "-O3 -march=native"; do
        dir="build/matrix/${compiler}$(echo "$flags" | tr -d ' =-')"
        echo "== $compiler $flags"
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER="$compiler" \
            -DCMAKE_CXX_FLAGS="$flags" -DWAVE_TESTS=ON -DWAVE_TOOLS=OFF -DWAVE_BENCH=OFF \
            -DWAVE_SANITIZE=OFF >/dev/null
        cmake --build "$dir" -j"$jobs" --target wave_golden_test wave_unit_tests >/dev/null
        "$dir/tests/wave_golden_test" --gtest_brief=1
        "$dir/tests/wave_unit_tests" --gtest_brief=1 --gtest_filter='Tracks/*:Sine*'
    done
done
