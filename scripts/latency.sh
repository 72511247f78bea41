#!/usr/bin/env bash
# The latency and cost benchmark of the main road, on the simulated machines
# of the whole-program tests: one-way times from an input injected on machine
# A to its arrival on machine B (p50, p99) for paced pointer moves, a burst and
# keys, beside the floor measured in the same run (the same probe watching
# input injected on its own display), and the processor time per machine idle
# and during a 500 Hz pointer stream. Not part of the test suite.
#
#   scripts/latency.sh [RESULTS_FOLDER]      (default: build-latency/results/latency-<date>)
#
# Writes latency.md (the table), samples.csv and latency.png (the distribution)
# into the results folder. Builds a Release tree in build-latency first.
set -euo pipefail
cd "$(dirname "$0")/.."

results=$(realpath -m "${1:-build-latency/results/latency-$(date +%Y%m%d-%H%M%S)}")
fail() { echo "latency: FAILED: $*" >&2; exit 1; }

scripts/install-deps.sh || fail "installing the Debian packages"
if ! command -v gnuplot >/dev/null; then
    echo "latency: installing gnuplot-nox for the plot"
    apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gnuplot-nox >/dev/null \
        || fail "installing gnuplot-nox"
fi

echo "latency: building build-latency (Release)"
cmake -S . -B build-latency -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVELLINE_BENCH=OFF >/dev/null || fail "configuring"
cmake --build build-latency -j "${CORVELLINE_JOBS:-$(nproc)}" --target tests_e2e corvelline_e2e_machine Corvelline || fail "building"

mkdir -p "$results"
echo "latency: measuring (about two minutes)"
verdict=0
CORVELLINE_RESULTS="$results" scripts/sandbox.sh build-latency/tests/tests_e2e \
    --gtest_also_run_disabled_tests --gtest_filter='Latency.DISABLED_*' >"$results/run.log" 2>&1 || verdict=$?
[ -f "$results/samples.csv" ] || { tail -n 80 "$results/run.log" >&2; fail "the benchmark (see $results/run.log)"; }

# The distribution: one cumulative curve per case, the program's solid and the
# floor's dashed, on a logarithmic time axis.
cd "$results"
awk -F, 'NR > 1 { print > ("curve-" $2 "-" $1 ".dat") }' samples.csv
plot=""
colour=1
for data in curve-program-*.dat; do
    name=${data#curve-program-}; name=${name%.dat}
    for kind in program floor; do
        file="curve-$kind-$name.dat"
        [ -f "$file" ] || continue
        sort -t, -k3 -g "$file" | awk -F, '{ n[NR] = $3 } END { for (i = 1; i <= NR; ++i) print n[i], i / NR }' >"$file.cdf"
        dash=1; [ "$kind" = floor ] && dash=2
        plot+="${plot:+, }'$file.cdf' using 1:2 with lines lc $colour dt $dash lw 2 title '$name ($kind)'"
    done
    colour=$((colour + 1))
done
gnuplot <<GNUPLOT || fail "plotting"
set terminal pngcairo size 1400,800 noenhanced
set output 'latency.png'
set title 'One-way latency, injected on A to arrival on B (solid), and the floor (dashed)'
set xlabel 'milliseconds'
set ylabel 'share of events'
set logscale x
set key bottom right
set grid
plot $plot
GNUPLOT
rm -f curve-*.dat curve-*.dat.cdf

cat latency.md
echo "latency: results in $results (latency.md, samples.csv, latency.png)"
[ "$verdict" = 0 ] || fail "some case had no arrivals (see $results/run.log)"
