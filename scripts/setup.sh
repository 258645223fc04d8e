#!/usr/bin/env bash
# Installs every package that building, testing, running the demo and benchmarking need, from
# Debian's archive. Does nothing when all of them are present already.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config git
    libssl-dev openssl libcurl4-openssl-dev curl
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    iproute2 util-linux procps python3
    g++-mipsel-linux-gnu qemu-user file
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    if [[ "$status" != "install ok installed" ]]; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

sudo=()
if ((EUID != 0)); then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
