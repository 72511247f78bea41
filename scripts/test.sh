#!/usr/bin/env bash
# The test suite, from a fresh Debian machine to a verdict:
# installs missing packages, configures, builds, runs CTest inside the test
# sandbox (scripts/sandbox.sh), then builds the fuzzers with clang and runs
# each briefly.
#
#   scripts/test.sh [--asan | --tsan] [--no-fuzz] [--fuzz-seconds N] [-- ctest args]
set -euo pipefail
cd "$(dirname "$0")/.."

variant=""
fuzz=1
fuzz_seconds=${CORVELLINE_FUZZ_SECONDS:-15}
ctest_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --asan) variant=asan ;;
        --tsan) variant=tsan ;;
        --no-fuzz) fuzz=0 ;;
        --fuzz-seconds) fuzz_seconds=$2; shift ;;
        --) shift; ctest_args=("$@"); break ;;
        *) echo "test: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

fail() { echo "test: FAILED: $*" >&2; exit 1; }

scripts/install-deps.sh || fail "installing the Debian packages"
scripts/sandbox.sh --check || fail "the test sandbox cannot be made here (see the line above)"

jobs=$(nproc)
build=build${variant:+-$variant}
options=(-DCMAKE_BUILD_TYPE=Debug)
case "$variant" in
    asan) options+=(-DCORVELLINE_ASAN=ON -DCORVELLINE_BENCH=OFF) ;;
    tsan) options+=(-DCORVELLINE_TSAN=ON -DCORVELLINE_BENCH=OFF) ;;
esac

echo "test: configuring $build"
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null || fail "configuring $build"
echo "test: building $build"
cmake --build "$build" -j "$jobs" || fail "building $build"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:${TSAN_OPTIONS:-}"

echo "test: running the tests of $build in the sandbox"
scripts/sandbox.sh ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" "${ctest_args[@]}" \
    || fail "tests of $build"

if [ "$fuzz" = 1 ] && [ -z "$variant" ] && ls fuzz/*.cpp >/dev/null 2>&1; then
    echo "test: building the fuzzers (clang, AddressSanitizer)"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVELLINE_FUZZ=ON -DCORVELLINE_ASAN=ON -DCORVELLINE_TESTS=OFF -DCORVELLINE_BENCH=OFF >/dev/null \
        || fail "configuring build-fuzz"
    cmake --build build-fuzz -j "$jobs" || fail "building the fuzzers"
    for target in build-fuzz/fuzz/fuzz_*; do
        [ -x "$target" ] || continue
        name=$(basename "$target")
        corpus="fuzz/corpus/${name#fuzz_}"
        work=$(mktemp -d)
        echo "test: fuzzing $name for ${fuzz_seconds}s"
        seeds=()
        [ -d "$corpus" ] && seeds=("$corpus")
        scripts/sandbox.sh "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$work" "${seeds[@]}" \
            >"$work.log" 2>&1 || { tail -n 60 "$work.log" >&2; rm -rf "$work" "$work.log"; fail "fuzzer $name"; }
        rm -rf "$work" "$work.log"
    done
fi

echo "test: all passed"
