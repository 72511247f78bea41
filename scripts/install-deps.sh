#!/usr/bin/env bash
# Installs the Debian packages that are missing, with apt-get.
#
#   scripts/install-deps.sh            everything the test command uses
#   scripts/install-deps.sh --program  only what building and running the program needs
#
# Installing needs root (or sudo); when nothing is missing, nothing is asked.
set -euo pipefail

program_packages=(
    cmake ninja-build g++ pkg-config
    juce-modules-source
    zlib1g-dev libpng-dev libjpeg-dev libfreetype-dev libfontconfig1-dev
    libx11-dev libxext-dev libxi-dev libxtst-dev libxfixes-dev libxrandr-dev
    libxinerama-dev libxcursor-dev libxkbcommon-dev libxkbcommon-x11-dev
    libxcb1-dev libxcb-xinput-dev libxcb-xtest0-dev libxcb-xkb-dev libxcb-xfixes0-dev libxcb-randr0-dev
)

test_packages=(
    # the test build, the fuzzers (clang with its sanitizer and fuzzer runtimes) and the benchmarks
    ccache clang libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev
    # the sandbox and the displays of the tests
    iproute2 util-linux xvfb x11-xkb-utils x11-xserver-utils x11-utils xclip
    # a system tray of the kind many desktops use (GTK), for the tray tests
    trayer
)

case "${1:-}" in
    --program) packages=("${program_packages[@]}") ;;
    "")        packages=("${program_packages[@]}" "${test_packages[@]}") ;;
    *) echo "install-deps: unknown argument $1" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    echo "install-deps: this needs a Debian system (dpkg and apt-get); install by hand: ${packages[*]}" >&2
    exit 1
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        sudo=(sudo)
    else
        echo "install-deps: missing packages: ${missing[*]}; run this command as root, or have root run: apt-get install --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo[@]}" apt-get update -qq; then
    echo "install-deps: apt-get update failed; trying the package lists this system already has"
fi
if ! "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    echo "install-deps: apt-get could not install: ${missing[*]}" >&2
    exit 1
fi
echo "install-deps: done"
