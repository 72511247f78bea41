#!/usr/bin/env bash
# Draws the embedded pictures again (the two logos and the two menu-bar
# pictures) into resources/, with the tool in MakeResources.cpp.
#
#   resources/make-resources.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
echo "make-resources: building the drawing tool in $build"
cmake --build "$build" --target corvelline_make_resources -j4
echo "make-resources: drawing into resources/"
"$build/src/corvelline_make_resources" resources
ls -l resources/*.svg resources/*.jpg
