#!/usr/bin/env bash
# Builds OpenWrt's own libraries that the daemon links on a router, libubox, libuci and libubus
# (with the uci, ubusd and ubus programs), from their upstream sources into a prefix. Nothing is
# downloaded: SOURCES holds either the release archives (libubox-*.tar.gz, uci-*.tar.gz,
# ubus-*.tar.gz) or folders named libubox, uci and ubus.
#
# Usage: scripts/build-openwrt-libs.sh [--mipsel SYSROOT | --musl CACHE] SOURCES PREFIX
#
#   --mipsel SYSROOT  cross-build for the router's CPU with cmake/toolchain-mipsel-linux-gnu.cmake
#                     against the sysroot of scripts/cross-sysroot.sh (which holds json-c)
#   --musl CACHE      cross-build for the router's CPU and C library with
#                     cmake/toolchain-mipsel-linux-musl.cmake and the toolchain and sysroot in
#                     the cache folder of scripts/musl-sysroot.sh (which holds json-c)
#
# The result is PREFIX/include, PREFIX/lib (libubox.so, libuci.so, libubus.so) and PREFIX/bin,
# PREFIX/sbin (uci, ubus, ubusd). Nothing happens when PREFIX already holds a build of the same
# sources with the same compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

sysroot=""
musl_cache=""
if [[ "${1:-}" == "--mipsel" ]]; then
    sysroot=$(realpath "$2")
    shift 2
elif [[ "${1:-}" == "--musl" ]]; then
    musl_cache=$(realpath "$2")
    shift 2
fi
if (($# != 2)); then
    echo "usage: $0 [--mipsel SYSROOT | --musl CACHE] SOURCES PREFIX" >&2
    exit 2
fi
sources=$(realpath "$1")
mkdir -p "$2"
prefix=$(realpath "$2")

projects=(libubox uci ubus)

# The source of one project: its folder, or its archive.
source_of() {
    local name=$1 archive
    if [[ -f "$sources/$name/CMakeLists.txt" ]]; then
        echo "$sources/$name"
        return
    fi
    for archive in "$sources/$name"-*.tar.gz; do
        if [[ -f "$archive" ]]; then
            echo "$archive"
            return
        fi
    done
    echo "No $name sources (folder $name or archive $name-*.tar.gz) in $sources" >&2
    exit 1
}

recipe() {
    local name
    echo "recipe 1 ${sysroot:+mipsel}${musl_cache:+musl}"
    for name in "${projects[@]}"; do
        local src
        src=$(source_of "$name")
        if [[ -f "$src" ]]; then
            sha256sum "$src" | cut -d' ' -f1
        else
            # A folder: its files' names, sizes and times.
            find "$src" -type f -not -path '*/.git/*' -printf '%P %s %T@\n' | sort | sha256sum |
                cut -d' ' -f1
        fi
    done
    if [[ -n "$musl_cache" ]]; then
        "$musl_cache/bin/mipsel-musl-cc" --version | head -1
        sha256sum "$repo/cmake/toolchain-mipsel-linux-musl.cmake" | cut -d' ' -f1
    elif [[ -n "$sysroot" ]]; then
        mipsel-linux-gnu-gcc --version | head -1
        sha256sum "$repo/cmake/toolchain-mipsel-linux-gnu.cmake" | cut -d' ' -f1
    else
        cc --version | head -1
    fi
}

stamp=$prefix/.openwrt-libs
wanted=$(recipe)
if [[ -f "$stamp" ]] && [[ "$(cat "$stamp")" == "$wanted" ]]; then
    echo "OpenWrt libraries in $prefix are up to date."
    exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/openwrt-libs.XXXXXX")
trap 'rm -rf "$work"' EXIT

common=(-G Ninja -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release
    -DBUILD_LUA=OFF -DBUILD_EXAMPLES=OFF -DUNIT_TESTING=OFF)
if [[ -z "$musl_cache" ]]; then
    common+=(-DCMAKE_INSTALL_RPATH="$prefix/lib")
fi
# uci and ubus look for libubox with find_path/find_library; a cross toolchain file limits those
# searches to its sysroot, so name the results outright.
common+=(-Dubox_include_dir="$prefix/include" -Dubox="$prefix/lib/libubox.so"
    -Dubox_library="$prefix/lib/libubox.so" -Dblob_library="$prefix/lib/libblobmsg_json.so")
cflags="-I$prefix/include"
ldflags="-L$prefix/lib"
if [[ -n "$musl_cache" ]]; then
    # The prefix is the sysroot's /usr, where musl's loader looks by default.
    common+=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mipsel-linux-musl.cmake"
        -DVOXAPP_MUSL_CACHE="$musl_cache")
elif [[ -n "$sysroot" ]]; then
    common+=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mipsel-linux-gnu.cmake"
        -DVOXAPP_MIPSEL_SYSROOT="$sysroot")
    # The toolchain's flags (64-bit time_t) must reach these projects too; they set their own
    # CMAKE_C_FLAGS, so repeat them here.
    cflags+=" -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64 -I$sysroot/usr/include/mipsel-linux-gnu"
    ldflags+=" -L$sysroot/usr/lib/mipsel-linux-gnu"
    ldflags+=" -Wl,-rpath-link,$prefix/lib:$sysroot/usr/lib/mipsel-linux-gnu:$sysroot/lib/mipsel-linux-gnu"
fi

for name in "${projects[@]}"; do
    src=$(source_of "$name")
    if [[ -f "$src" ]]; then
        tar -xzf "$src" -C "$work"
        src=$work/$name
    fi
    echo "Building $name into $prefix${sysroot:+ (mipsel)}${musl_cache:+ (mipsel, musl)}"
    cmake -S "$src" -B "$work/$name-build" "${common[@]}" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$cflags" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null
    cmake --build "$work/$name-build" -j "${OPENWRT_JOBS:-2}" >/dev/null
    cmake --install "$work/$name-build" >/dev/null
done

echo "$wanted" >"$stamp"
echo "OpenWrt libraries are in $prefix."
