#!/usr/bin/env bash
# The loop while changing the code: builds what changed in the release build
# (build/release), only the unit tests and the pinned render, and runs them.
# No root and no installs: it needs what `scripts/install-deps.sh build` installs.
#
# usage: quick.sh [CTEST_ARGS...]   e.g. quick.sh -R Sine   (only the tests named so)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# The preset sets every option the release build relies on, whatever was changed
# by hand (half a second on a configured folder).
cmake --preset release >/dev/null
cmake --build --preset quick -j"$jobs"
ctest --preset quick -j"$jobs" "$@"
