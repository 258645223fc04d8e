# Cross build for the router's CPU: 32-bit MIPS little-endian, with Debian's mipsel-linux-gnu
# GCC. The target libraries come from a private sysroot that scripts/cross-sysroot.sh fills;
# the C library and libstdc++ are the cross toolchain's own (/usr/mipsel-linux-gnu).
#
#   cmake -S . -B build/mipsel -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel-linux-gnu.cmake
#
# VOXAPP_MIPSEL_SYSROOT (cache variable or environment) overrides the default
# build/sysroot-mipsel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(NOT VOXAPP_MIPSEL_SYSROOT)
  if(DEFINED ENV{VOXAPP_MIPSEL_SYSROOT})
    set(VOXAPP_MIPSEL_SYSROOT "$ENV{VOXAPP_MIPSEL_SYSROOT}")
  else()
    set(VOXAPP_MIPSEL_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-mipsel")
  endif()
endif()
get_filename_component(VOXAPP_MIPSEL_SYSROOT "${VOXAPP_MIPSEL_SYSROOT}" ABSOLUTE)
set(VOXAPP_MIPSEL_SYSROOT "${VOXAPP_MIPSEL_SYSROOT}" CACHE PATH "Sysroot with the mipsel libraries")
# try_compile projects read this file again and must see the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VOXAPP_MIPSEL_SYSROOT)

set(_voxapp_sr "${VOXAPP_MIPSEL_SYSROOT}")
set(_voxapp_libdirs "${_voxapp_sr}/usr/lib/mipsel-linux-gnu" "${_voxapp_sr}/lib/mipsel-linux-gnu")

# Find packages, libraries and headers in the sysroot (and the toolchain's own tree), never
# the host's; programs (pkg-config, code generators) are the host's.
set(CMAKE_FIND_ROOT_PATH "${_voxapp_sr}" /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The find modules consult pkg-config for hints; it must read the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${_voxapp_sr}/usr/lib/mipsel-linux-gnu/pkgconfig:${_voxapp_sr}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_voxapp_sr}")
set(ENV{PKG_CONFIG_PATH} "")

# The router's musl has a 64-bit time_t and off_t; glibc on mipsel only with these.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")

# The multiarch header directory (opensslconf.h, curlbuild) is not on the cross compiler's
# default search path.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${_voxapp_sr}/usr/include/mipsel-linux-gnu")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${_voxapp_sr}/usr/include/mipsel-linux-gnu")

# The libraries' own dependencies (nghttp2, krb5, ...) are resolved at link time through
# -rpath-link; nothing of the build machine ends up in the binaries' run path.
string(JOIN ":" _voxapp_rpath_link ${_voxapp_libdirs})
set(_voxapp_link_flags "-L${_voxapp_sr}/usr/lib/mipsel-linux-gnu -Wl,-rpath-link,${_voxapp_rpath_link}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_voxapp_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_voxapp_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_voxapp_link_flags}")

# Test programs run under user-mode QEMU, with the target's loader and libraries.
get_filename_component(_voxapp_qemu_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-mipsel-run.sh"
                       ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_voxapp_qemu_run};${_voxapp_sr}")
