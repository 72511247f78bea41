#!/usr/bin/env bash
# The benchmarks, built optimised (a Release build of their own, build-bench)
# and run one after the other inside the test sandbox (scripts/sandbox.sh).
# Each measures after a warm-up; a round that fails or times out is reported
# as an error, and the script then fails.
#
#   scripts/bench.sh [--filter REGEX]
set -euo pipefail
cd "$(dirname "$0")/.."

filter=""
while [ $# -gt 0 ]; do
    case "$1" in
        --filter) filter=$2; shift ;;
        *) echo "bench: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

fail() { echo "bench: FAILED: $*" >&2; exit 1; }

scripts/install-deps.sh || fail "installing the Debian packages"

echo "bench: configuring build-bench (Release)"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVELLINE_TESTS=OFF -DCORVELLINE_BENCH=ON >/dev/null \
    || fail "configuring build-bench"
echo "bench: building build-bench"
cmake --build build-bench -j "${CORVELLINE_JOBS:-$(nproc)}" || fail "building the benchmarks"

failed=()
for bench in build-bench/bench/bench_*; do
    [ -x "$bench" ] || continue
    name=$(basename "$bench")
    log=$(mktemp)
    echo "bench: running $name"
    if ! timeout 1800 scripts/sandbox.sh "$bench" ${filter:+--benchmark_filter="$filter"} 2>&1 | tee "$log"; then
        failed+=("$name (exited with an error or timed out)")
    elif grep -q "ERROR OCCURRED" "$log"; then
        failed+=("$name ($(grep -c "ERROR OCCURRED" "$log") round(s) in error)")
    fi
    rm -f "$log"
done

[ ${#failed[@]} -eq 0 ] || fail "${failed[*]}"
echo "bench: all ran"
