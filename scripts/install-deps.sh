#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ clang libclang-rt-dev pkg-config ccache
    juce-modules-source
    zlib1g-dev libpng-dev libjpeg-dev libfreetype-dev libfontconfig1-dev
    libx11-dev libxext-dev libxi-dev libxtst-dev libxfixes-dev libxrandr-dev
    libxinerama-dev libxcursor-dev libxkbcommon-dev libxkbcommon-x11-dev
    libxcb1-dev libxcb-xinput-dev libxcb-xtest0-dev libxcb-xkb-dev libxcb-xfixes0-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    # tests
    iproute2 util-linux xvfb x11-xkb-utils x11-xserver-utils x11-utils xclip
)

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

echo "install-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq || echo "install-deps: apt-get update failed, trying with the cached lists"
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
