#!/usr/bin/env bash
# Builds the daemon and its unit tests for the router's CPU (32-bit MIPS little-endian) and runs
# the tests under user-mode QEMU, so that faults only a 32-bit target shows (32-bit long, size
# and time arithmetic, alignment, format specifiers) fail here.
#
# Environment:
#   CROSS_JOBS            parallel build jobs (default 2)
#   CROSS_WERROR          ON (default) or OFF to list every warning without stopping
#   VOXAPP_NATIVE_BINARY  native voxapp to compare the MD5 tool's output with (default: the
#                         first of build/ci/voxapp and build/native-check/voxapp that exists)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

sysroot=$repo/build/sysroot-mipsel
build=$repo/build/mipsel
jobs=${CROSS_JOBS:-2}
werror=${CROSS_WERROR:-ON}
emulate=(scripts/qemu-mipsel-run.sh "$sysroot")

# What user-mode emulation cannot run, each with its reason: whole test programs by name, and
# single tests as "regex|reason" (ctest -E on the test name). Tests that detect emulation
# themselves (VOXAPP_UNDER_EMULATION) need no entry here.
excluded_programs=(
    "daemon_tests|system tests start the MIPS daemon as a child process, which the host kernel cannot execute without binfmt_misc"
)
excluded_tests=()

started=$SECONDS
phase() {
    echo "== $* ($((SECONDS - started)) s) =="
}

phase "Sysroot"
scripts/cross-sysroot.sh "$sysroot"

phase "OpenWrt libraries"
openwrt_sources=${VOXAPP_OPENWRT_SOURCES:-../shared/third_party}
if [[ -d "$openwrt_sources" ]]; then
    # The cross build finds them in build/openwrt-mipsel by default.
    scripts/build-openwrt-libs.sh --mipsel "$sysroot" "$openwrt_sources" build/openwrt-mipsel
else
    echo "No OpenWrt library sources in $openwrt_sources: the cross build uses its stand-ins."
fi

phase "Configure $build"
# The optimisation of the native CI build, so that the same flow warnings show, but without
# debug information, which only costs build time here.
cmake -S . -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mipsel-linux-gnu.cmake" \
    -DVOXAPP_MIPSEL_SYSROOT="$sysroot" \
    -DVOXAPP_WERROR="$werror" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null

phase "Build"
# -k 0: one run reports every file that fails, not only the first.
if ! cmake --build "$build" -j "$jobs" -- -k 0 2>&1 | tee "$build/build.log"; then
    echo "Cross build failed; the log is in $build/build.log" >&2
    exit 1
fi
warnings=$(grep -E 'warning:|error:' "$build/build.log" || true)
if [[ -n "$warnings" ]]; then
    echo "Warnings of the cross build:"
    echo "$warnings"
fi

phase "Binary"
description=$(file -b "$build/voxapp")
echo "voxapp: $description"
if [[ ! "$description" =~ ^ELF\ 32-bit\ LSB\ .*executable,\ MIPS ]]; then
    echo "voxapp is not a 32-bit MIPS little-endian executable" >&2
    exit 1
fi

# Debian's mipsel libraries keep a 32-bit time_t while our code and the router's libraries use
# a 64-bit one, so a library call that passes a time_t is wrong only here, under emulation.
time_t_calls='^(ASN1_(TIME|UTCTIME|GENERALIZEDTIME)_(set|adj|cmp_time_t)|X509_(cmp_time|time_adj|time_adj_ex)|X509_(VERIFY_PARAM|STORE_CTX)_set_time|OPENSSL_gmtime|curl_getdate)$'
for program in "$build/voxapp" "$build"/tests/*_tests; do
    [[ -x "$program" ]] || continue
    calls=$(mipsel-linux-gnu-nm -u --format=just-symbols "$program" | sed 's/@.*//' |
        grep -E "$time_t_calls" | tr '\n' ' ' || true)
    if [[ -n "$calls" ]]; then
        echo "Note: $(basename "$program") calls ${calls}with a time_t; under emulation the" \
            "library's time_t is 32-bit, on the router 64-bit."
    fi
done

phase "MD5 tool under emulation"
# "md5" alone starts the daemon: a binary without the tool mode would not return by itself.
target_md5=$(timeout 30 "${emulate[@]}" "$build/voxapp" md5 abc 2>/dev/null || true)
if [[ "$target_md5" != "MD5 - "* ]]; then
    echo "Skipped: 'voxapp md5 abc' prints no \"MD5 - \" line yet."
else
    native=${VOXAPP_NATIVE_BINARY:-}
    if [[ -z "$native" ]]; then
        for candidate in build/ci/voxapp build/native-check/voxapp; do
            if [[ -x "$candidate" ]]; then
                native=$candidate
                break
            fi
        done
    fi
    native_md5=""
    if [[ -n "$native" ]]; then
        native_md5=$(timeout 30 "$native" md5 abc 2>/dev/null || true)
    fi
    if [[ "$native_md5" == "MD5 - "* ]]; then
        if [[ "$target_md5" != "$native_md5" ]]; then
            echo "MD5 differs: target $(printf %q "$target_md5"), native ($native)" \
                "$(printf %q "$native_md5")" >&2
            exit 1
        fi
        echo "Same output as $native: $(printf %q "$target_md5")"
    else
        # No native build to compare with: check against the RFC 1321 test vector.
        if [[ "$target_md5" != $'MD5 - 900150983CD24FB0D6963F7D28E17F72\r' ]]; then
            echo "Wrong MD5 of abc: $(printf %q "$target_md5")" >&2
            exit 1
        fi
        echo "No native voxapp to compare with; matches the known digest of abc."
    fi
fi

phase "Unit tests under emulation"
exclude_regex=""
for entry in "${excluded_programs[@]}"; do
    program=${entry%%|*}
    echo "Excluded: $program (${entry#*|})"
    # Discovered test names do not carry their program's name: look them up by command.
    names=$(cd "$build" && ctest --show-only=json-v1 | python3 -c '
import json, re, sys
program = sys.argv[1]
for test in json.load(sys.stdin)["tests"]:
    if any(word.endswith("/" + program) for word in test.get("command", [])):
        print("^" + re.escape(test["name"]) + "$")
' "$program")
    for name in $names; do
        exclude_regex+="${exclude_regex:+|}$name"
    done
done
for entry in "${excluded_tests[@]}"; do
    echo "Excluded: ${entry%%|*} (${entry#*|})"
    exclude_regex+="${exclude_regex:+|}${entry%%|*}"
done
ctest_args=(--output-on-failure -j "$jobs" --timeout 300)
if [[ -n "$exclude_regex" ]]; then
    ctest_args+=(-E "$exclude_regex")
fi
(cd "$build" && ctest "${ctest_args[@]}")

phase "Size"
mipsel-linux-gnu-strip -o "$build/voxapp.stripped" "$build/voxapp"
bytes=$(stat -c %s "$build/voxapp.stripped")
echo "Stripped voxapp: $bytes bytes ($(((bytes + 1023) / 1024)) KiB)"
echo "Shared libraries it needs: $(mipsel-linux-gnu-readelf -d "$build/voxapp" |
    sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"

phase "Cross build and emulated tests passed"
