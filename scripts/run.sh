#!/usr/bin/env bash
# Builds (when needed) and runs Corvelline.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVELLINE_TESTS=OFF -DCORVELLINE_BENCH=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target Corvelline
exec build-release/src/Corvelline_artefacts/Release/Corvelline "$@"
