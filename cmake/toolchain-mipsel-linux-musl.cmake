# Cross build for the router itself: 32-bit MIPS little-endian, soft-float, musl, with Zig's
# clang and LLVM's libc++ (linked into the program). scripts/musl-sysroot.sh installs the
# toolchain and fills the sysroot in its cache folder.
#
#   cmake -S . -B build/musl -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel-linux-musl.cmake
#
# VOXAPP_MUSL_CACHE (cache variable or environment) names that folder; the default is the
# script's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

if(NOT VOXAPP_MUSL_CACHE)
  if(DEFINED ENV{VOXAPP_MUSL_CACHE})
    set(VOXAPP_MUSL_CACHE "$ENV{VOXAPP_MUSL_CACHE}")
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(VOXAPP_MUSL_CACHE "$ENV{XDG_CACHE_HOME}/voxapp-musl")
  else()
    set(VOXAPP_MUSL_CACHE "$ENV{HOME}/.cache/voxapp-musl")
  endif()
endif()
get_filename_component(VOXAPP_MUSL_CACHE "${VOXAPP_MUSL_CACHE}" ABSOLUTE)
set(VOXAPP_MUSL_CACHE "${VOXAPP_MUSL_CACHE}" CACHE PATH "Toolchain and sysroot of the musl build")
# try_compile projects read this file again and must see the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VOXAPP_MUSL_CACHE)

set(_voxapp_sr "${VOXAPP_MUSL_CACHE}/sysroot")
set(CMAKE_C_COMPILER "${VOXAPP_MUSL_CACHE}/bin/mipsel-musl-cc")
set(CMAKE_CXX_COMPILER "${VOXAPP_MUSL_CACHE}/bin/mipsel-musl-c++")
set(CMAKE_AR "${VOXAPP_MUSL_CACHE}/bin/mipsel-musl-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${VOXAPP_MUSL_CACHE}/bin/mipsel-musl-ranlib" CACHE FILEPATH "")

# Libraries and headers from the sysroot only; programs are the host's.
set(CMAKE_FIND_ROOT_PATH "${_voxapp_sr}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${_voxapp_sr}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_voxapp_sr}")
set(ENV{PKG_CONFIG_PATH} "")

# zig's own include paths come first; the sysroot's headers follow. zig's linker takes no
# -rpath-link (lld does not follow the libraries' own dependencies), and nothing of the build
# machine reaches a run path.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${_voxapp_sr}/usr/include")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${_voxapp_sr}/usr/include")
set(_voxapp_link_flags "-L${_voxapp_sr}/usr/lib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_voxapp_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_voxapp_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_voxapp_link_flags}")

# Test programs run under user-mode QEMU with the sysroot's loader and libraries.
get_filename_component(_voxapp_qemu_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-mipsel-run.sh"
                       ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_voxapp_qemu_run};${_voxapp_sr}")
