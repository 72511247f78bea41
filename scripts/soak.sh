#!/usr/bin/env bash
# The soak run: three simulated machines (as in the whole-program tests) used
# at random for a long time (crossings, typing, clicks, clipboard copies) with
# the server's machine killed and restarted every few minutes. Checks that
# nothing crashes, nothing stays pressed on any display, every push into an
# edge crosses at once (the report counts those that did not), every machine
# is back in the cluster after each restart, and the programs' threads,
# descriptors and memory stay within bounds. Not part of the test suite.
#
#   scripts/soak.sh [MINUTES] [RESULTS_FOLDER]   (default 30, build/results/soak-<date>)
#
# Uses the test suite's build folder (build, Debug), building what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-30}
results=$(realpath -m "${2:-build/results/soak-$(date +%Y%m%d-%H%M%S)}")
fail() { echo "soak: FAILED: $*" >&2; exit 1; }

scripts/install-deps.sh || fail "installing the Debian packages"
echo "soak: building in build (Debug, as the tests run it)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null || fail "configuring"
cmake --build build -j "${CORVELLINE_JOBS:-$(nproc)}" --target tests_e2e corvelline_e2e_machine Corvelline || fail "building"

mkdir -p "$results"
echo "soak: running for $minutes minutes"
CORVELLINE_RESULTS="$results" CORVELLINE_SOAK_MINUTES="$minutes" \
    scripts/sandbox.sh build/tests/tests_e2e --gtest_also_run_disabled_tests --gtest_filter='Soak.DISABLED_*' \
    >"$results/run.log" 2>&1 || { tail -n 60 "$results/run.log" >&2; fail "the soak run (see $results)"; }

cat "$results/soak.md"
echo "soak: passed; report in $results/soak.md"
