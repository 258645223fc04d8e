#!/usr/bin/env bash
# Runs every test: installs what is missing, builds with warnings as errors and runs the whole
# suite, then again under AddressSanitizer + UndefinedBehaviorSanitizer and under
# ThreadSanitizer, then builds for the router (MIPS, musl) and runs the unit tests and the daemon
# system tests under QEMU, then fuzzes the parsers of outside text for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
# The router's toolchain and sysroot take a quarter of an hour to build into an empty cache, much
# of it one process at a time (downloads, configure scripts). They are built in the background
# at the lowest priority while the native phases run, on the cycles those leave idle; with the
# cache filled this takes a second.
mkdir -p build
musl_log=build/musl-sysroot.log
# A session of its own, so that it can be stopped as a whole; with the kernel's autogroups a
# session competes as one, so its group is given the lowest priority as well.
# shellcheck disable=SC2016
setsid bash -c 'echo 19 >/proc/self/autogroup 2>/dev/null || true; exec nice -n 19 "$0"' \
    scripts/musl-sysroot.sh >"$musl_log" 2>&1 &
musl_sysroot=$!
trap 'kill -- "-$musl_sysroot" 2>/dev/null || true' EXIT
echo "== shellcheck: project scripts and the router's init script =="
shellcheck .ci/run scripts/*.sh openwrt/voxapp/files/voxapp.init
echo "== Shape of the tree: includes run downward, files within 600 lines =="
scripts/check-tree.sh
run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DVOXAPP_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

echo "== Release build and tests =="
# The release flags without debug information: it was a third of this build's time, and nothing
# here reads it.
run_suite build/ci -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG"
echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DVOXAPP_SANITIZE=address,undefined
echo "== ThreadSanitizer =="
TSAN_OPTIONS=halt_on_error=1 \
    run_suite build/tsan -DCMAKE_BUILD_TYPE=Debug -DVOXAPP_SANITIZE=thread
echo "== musl build for 32-bit MIPS little-endian, unit and system tests under emulation =="
if ! wait "$musl_sysroot"; then
    cat "$musl_log"
    echo "The musl toolchain and sysroot could not be built" >&2
    exit 1
fi
cat "$musl_log"
VOXAPP_NATIVE_BUILD=build/ci scripts/musl-test.sh
echo "== Fuzzing the parsers of outside text (60 s each) =="
scripts/fuzz.sh 60
echo "All tests passed."
