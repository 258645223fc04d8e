#!/usr/bin/env bash
# Runs a 32-bit MIPS little-endian program under user-mode QEMU with the sysroot's shared
# libraries and either the sysroot's own musl loader (scripts/musl-sysroot.sh) or the glibc
# cross toolchain's loader and C library (scripts/cross-sysroot.sh). CMake uses it as the cross
# emulator, so test discovery and ctest both go through here.
#
# Usage: scripts/qemu-mipsel-run.sh SYSROOT PROGRAM [ARGS...]
set -euo pipefail
if (($# < 2)); then
    echo "usage: $0 SYSROOT PROGRAM [ARGS...]" >&2
    exit 2
fi
sysroot=$(realpath "$1")
program=$(realpath "$2")
shift 2
self=$(realpath "$0")

# QEMU resolves the guest's absolute paths under this prefix first when they exist there, so
# it names only a tree of loader and libraries, never a directory that tests may use.
musl_loaders=("$sysroot"/lib/ld-musl-mipsel*.so.1)
if [[ -e "${musl_loaders[0]}" ]]; then
    export QEMU_LD_PREFIX=$sysroot
    library_path=""
else
    export QEMU_LD_PREFIX=/usr/mipsel-linux-gnu
    library_path=$sysroot/usr/lib/mipsel-linux-gnu:$sysroot/lib/mipsel-linux-gnu
fi
# Tests that need kernel features user-mode emulation lacks (netlink, namespaces, ptrace) skip
# themselves when they see this.
export VOXAPP_UNDER_EMULATION=1

# Without binfmt_misc the host kernel cannot execute a MIPS file, so a program that re-executes
# itself through argv[0] (GoogleTest's "threadsafe" death tests) would fail with ENOEXEC. Its
# argv[0] names a host script beside it that comes back here instead. shim FILE prints that
# script's path, or FILE when its folder is read-only.
shim() {
    local file=$1 script
    script="$(dirname "$file")/.$(basename "$file").qemu"
    if [[ ! -w "$(dirname "$file")" ]]; then
        echo "$file"
        return
    fi
    if [[ ! -x "$script" ]] || ! grep -qF "$self" "$script" || ! grep -qF "$sysroot" "$script"; then
        local tmp
        tmp=$(mktemp "$script.XXXXXX")
        printf '#!/bin/sh\nexec %q %q %q "$@"\n' "$self" "$sysroot" "$file" >"$tmp"
        chmod 755 "$tmp"
        mv -f "$tmp" "$script"
    fi
    echo "$script"
}

guest_options=(-0 "$(shim "$program")")

# Given to the guest only: the host's QEMU binary must not search these directories.
exec qemu-mipsel "${guest_options[@]}" \
    -E "LD_LIBRARY_PATH=$library_path" \
    "$program" "$@"
