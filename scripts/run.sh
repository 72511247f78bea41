#!/usr/bin/env bash
# Builds Corvelline (a Release build in build-release, when something changed)
# and runs it on the current X display.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "run: $*" >&2; exit 1; }

scripts/install-deps.sh --program || fail "the packages the program needs are missing (see above)"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVELLINE_TESTS=OFF -DCORVELLINE_BENCH=OFF >/dev/null \
    || fail "configuring build-release failed"
cmake --build build-release -j "$(nproc)" --target Corvelline || fail "building the program failed"
exec build-release/src/Corvelline_artefacts/Release/Corvelline "$@"
