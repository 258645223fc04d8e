# OpenWrt's own libraries: libuci for UCI and libubus (with libubox) for the system bus that the
# router's GPS library talks over. scripts/build-openwrt-libs.sh builds them from their upstream
# sources into a prefix; the OpenWrt SDK has them in its staging directory.
#
#   VOXAPP_OPENWRT_PREFIX  where to look (default: build/openwrt, or build/openwrt-mipsel for the
#                          cross build, when that exists; otherwise the compiler's own paths, as
#                          in the OpenWrt SDK)
#   VOXAPP_GPS_LIBRARY     the router vendor's GPS library (name or path) that provides lgps_get;
#                          empty: the stand-in of tools/lgps, which reads a simulated GPS service
#
# Without libuci the daemon keeps UCI files with its own store; without libubus it has no system
# bus and so no GPS fix. Both are said at configure time.

set(VOXAPP_OPENWRT_PREFIX "" CACHE PATH
    "Prefix holding libuci, libubus and libubox (empty: build/openwrt when it exists)")
set(VOXAPP_GPS_LIBRARY "" CACHE STRING "The router's GPS library (empty: the PC stand-in)")

# The default is looked at on every configure, so a build tree made before scripts/setup.sh
# built the libraries finds them afterwards.
set(_voxapp_openwrt_prefix "${VOXAPP_OPENWRT_PREFIX}")
if(NOT _voxapp_openwrt_prefix)
  if(CMAKE_CROSSCOMPILING)
    set(_voxapp_openwrt_default "${CMAKE_SOURCE_DIR}/build/openwrt-mipsel")
  else()
    set(_voxapp_openwrt_default "${CMAKE_SOURCE_DIR}/build/openwrt")
  endif()
  if(EXISTS "${_voxapp_openwrt_default}/include")
    set(_voxapp_openwrt_prefix "${_voxapp_openwrt_default}")
  endif()
endif()

# voxapp_openwrt_find(VAR HEADER LIBRARY): an imported target voxapp::LIBRARY when both exist.
function(voxapp_openwrt_find header library)
  if(_voxapp_openwrt_prefix)
    # Only this prefix, also when cross-compiling (the prefix lies outside the sysroot).
    set(where PATHS "${_voxapp_openwrt_prefix}" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  endif()
  find_path(VOXAPP_${library}_INCLUDE_DIR ${header} PATH_SUFFIXES include ${where})
  find_library(VOXAPP_${library}_LIBRARY ${library} PATH_SUFFIXES lib ${where})
  if(VOXAPP_${library}_INCLUDE_DIR AND VOXAPP_${library}_LIBRARY)
    add_library(voxapp::${library} UNKNOWN IMPORTED)
    set_target_properties(voxapp::${library} PROPERTIES
      IMPORTED_LOCATION "${VOXAPP_${library}_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${VOXAPP_${library}_INCLUDE_DIR}")
  endif()
endfunction()

voxapp_openwrt_find(libubox/blobmsg.h ubox)
voxapp_openwrt_find(uci.h uci)
voxapp_openwrt_find(libubus.h ubus)

set(VOXAPP_HAVE_LIBUCI OFF)
set(VOXAPP_HAVE_LIBUBUS OFF)
if(TARGET voxapp::ubox AND TARGET voxapp::uci)
  set(VOXAPP_HAVE_LIBUCI ON)
  set_property(TARGET voxapp::uci APPEND PROPERTY INTERFACE_LINK_LIBRARIES voxapp::ubox)
  message(STATUS "UCI: libuci ${VOXAPP_uci_LIBRARY}")
  find_program(VOXAPP_UCI_TOOL uci HINTS "${_voxapp_openwrt_prefix}/bin" NO_CMAKE_FIND_ROOT_PATH)
else()
  message(STATUS "UCI: libuci not found; falling back to the "
                 "daemon's own UCI file store (build it with scripts/build-openwrt-libs.sh)")
endif()
if(TARGET voxapp::ubox AND TARGET voxapp::ubus)
  set(VOXAPP_HAVE_LIBUBUS ON)
  set_property(TARGET voxapp::ubus APPEND PROPERTY INTERFACE_LINK_LIBRARIES voxapp::ubox)
  if(VOXAPP_GPS_LIBRARY)
    message(STATUS "GPS: libubus ${VOXAPP_ubus_LIBRARY}, GPS library ${VOXAPP_GPS_LIBRARY}")
  else()
    message(STATUS "GPS: libubus ${VOXAPP_ubus_LIBRARY}, stand-in GPS library (tools/lgps) "
                   "reading a simulated GPS service")
  endif()
  find_program(VOXAPP_UBUSD ubusd HINTS "${_voxapp_openwrt_prefix}/sbin" NO_CMAKE_FIND_ROOT_PATH)
  find_program(VOXAPP_UBUS_CLI ubus HINTS "${_voxapp_openwrt_prefix}/bin" NO_CMAKE_FIND_ROOT_PATH)
else()
  message(STATUS "GPS: libubus not found; falling back to no system bus: every GPS read fails "
                 "as unreachable (build it with scripts/build-openwrt-libs.sh)")
endif()

# What the platform code needs of them.
function(voxapp_link_openwrt target)
  if(VOXAPP_HAVE_LIBUCI)
    target_compile_definitions(${target} PUBLIC VOXAPP_HAVE_LIBUCI=1)
    target_link_libraries(${target} PUBLIC voxapp::uci)
  endif()
  if(VOXAPP_HAVE_LIBUBUS)
    target_compile_definitions(${target} PUBLIC VOXAPP_HAVE_LIBUBUS=1)
    if(VOXAPP_GPS_LIBRARY)
      target_link_libraries(${target} PUBLIC ${VOXAPP_GPS_LIBRARY} voxapp::ubus)
    else()
      target_link_libraries(${target} PUBLIC voxapp_lgps_standin voxapp::ubus)
    endif()
  endif()
endfunction()
