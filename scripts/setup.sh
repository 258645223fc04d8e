#!/usr/bin/env bash
# Installs every package that building, testing, running the demo and benchmarking need, from
# Debian's archive, then builds OpenWrt's own libraries (libubox, libuci, libubus with uci, ubus
# and ubusd) into build/openwrt from their upstream sources in VOXAPP_OPENWRT_SOURCES (default
# ../shared/third_party). Does nothing when all of it is present already.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    g++ cmake ninja-build pkg-config git
    libssl-dev openssl libcurl4-openssl-dev curl
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    iproute2 util-linux procps python3
    binutils-mipsel-linux-gnu qemu-user file dpkg-dev
    libjson-c-dev shellcheck vsftpd tzdata
)

scripts/install-packages.sh "${packages[@]}"

openwrt_sources=${VOXAPP_OPENWRT_SOURCES:-../shared/third_party}
if [[ -d "$openwrt_sources" ]]; then
    scripts/build-openwrt-libs.sh "$openwrt_sources" build/openwrt
else
    echo "No OpenWrt library sources in $openwrt_sources: builds use the daemon's own UCI store" \
        "and have no system bus (see README)."
fi
