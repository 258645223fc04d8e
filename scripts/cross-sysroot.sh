#!/usr/bin/env bash
# Prepares the 32-bit MIPS little-endian sysroot that the cross build links against: Debian's
# mipsel OpenSSL, libcurl and json-c (for OpenWrt's libraries) with their run-time dependencies,
# and GoogleTest built from the host's /usr/src/googletest with the cross compiler.
#
# Usage: scripts/cross-sysroot.sh [SYSROOT]   (default build/sysroot-mipsel)
#
# The packages are fetched with a private apt state (lists and cache inside the sysroot), so the
# host's dpkg architectures and package lists stay as they are; multiarch installs break whenever
# the mirror's amd64 and mipsel versions of a library differ. Nothing happens when the sysroot
# is complete already.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

sysroot=${1:-build/sysroot-mipsel}
mkdir -p "$(dirname "$sysroot")"
sysroot=$(realpath -m "$sysroot")
arch=mipsel-linux-gnu

# Host tools the cross build and the emulated tests need (also in scripts/setup.sh).
host_packages=(g++-mipsel-linux-gnu binutils-mipsel-linux-gnu qemu-user file cmake ninja-build
    googletest)

# Target libraries: the development packages the daemon links against and everything their
# shared objects load at run time, less what the cross toolchain brings (libc, libgcc,
# libstdc++, libatomic).
target_packages=(
    libssl3 libssl-dev libcurl4 libcurl4-openssl-dev
    libbrotli1 libgssapi-krb5-2 libidn2-0 libldap-2.5-0 libnghttp2-14 libpsl5 librtmp1
    libssh2-1 libzstd1 zlib1g libkrb5-3 libk5crypto3 libcom-err2 libkrb5support0 libkeyutils1
    libsasl2-2 libsasl2-modules-db libgnutls30 libhogweed6 libnettle8 libgmp10 libunistring2
    libp11-kit0 libtasn1-6 libffi8 libdb5.3 libgcrypt20 libgpg-error0
    libjson-c5 libjson-c-dev
)

install_host_tools() {
    "$repo/scripts/install-packages.sh" "${host_packages[@]}"
}

# Everything that decides the sysroot's content; a change of any of it rebuilds the sysroot.
recipe() {
    echo "recipe 1"
    echo "packages ${target_packages[*]}"
    echo "googletest $(dpkg-query -W -f='${Version}' googletest)"
    echo "compiler $(dpkg-query -W -f='${Version}' g++-mipsel-linux-gnu)"
    sha256sum "$repo/cmake/toolchain-mipsel-linux-gnu.cmake" | cut -d' ' -f1
}

install_host_tools

stamp=$sysroot/.complete
if [[ -f "$stamp" ]] && [[ "$(cat "$stamp")" == "$(recipe)" ]]; then
    echo "Sysroot $sysroot is complete."
    exit 0
fi

echo "Building sysroot $sysroot"
work=$sysroot.partial
rm -rf "$work"
mkdir -p "$work"/.apt/{lists/partial,cache/archives/partial,debs}
touch "$work/.apt/status"
apt_options=(
    -o "Dir::State::Lists=$work/.apt/lists"
    -o "Dir::State::status=$work/.apt/status"
    -o "Dir::Cache=$work/.apt/cache"
    -o "APT::Architectures::=mipsel"
    -o "APT::Sandbox::User=root"
)
if ((EUID != 0)); then
    apt_options+=(-o "APT::Sandbox::User=$(id -un)")
fi
apt-get -qq "${apt_options[@]}" update
(cd "$work/.apt/debs" && apt-get -qq "${apt_options[@]}" download "${target_packages[@]/%/:mipsel}")
for deb in "$work"/.apt/debs/*.deb; do
    dpkg -x "$deb" "$work"
done
rm -rf "$work/.apt"

# GoogleTest with the project's own toolchain file, so that it shares the 64-bit time_t ABI.
gtest_build=$work/.googletest-build
cmake -S /usr/src/googletest -B "$gtest_build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mipsel-linux-gnu.cmake" \
    -DVOXAPP_MIPSEL_SYSROOT="$work" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$work/usr" \
    -DCMAKE_INSTALL_LIBDIR="lib/$arch" >/dev/null
cmake --build "$gtest_build" -j 2 >/dev/null
cmake --install "$gtest_build" >/dev/null
rm -rf "$gtest_build"

# Absolute symbolic links would point into the host's /usr; every link the packages ship is
# expected to be relative.
bad_links=$(find "$work" -type l -lname '/*' -printf '%p -> %l\n')
if [[ -n "$bad_links" ]]; then
    echo "Warning: absolute links in the sysroot:" >&2
    echo "$bad_links" >&2
fi

recipe >"$work/.complete"
rm -rf "$sysroot"
mv "$work" "$sysroot"
echo "Sysroot $sysroot is ready."
