# The daemon's zone table, timezones.ini, generated from the build machine's compiled IANA time
# zone database (Debian's tzdata; the OpenWrt SDK's host has one too) by
# tools/timezones/make-timezones.sh. The router package installs it as /root/app/timezones.ini.
#
#   VOXAPP_ZONEINFO_DIR  the compiled database (default: /usr/share/zoneinfo)

set(VOXAPP_ZONEINFO_DIR "/usr/share/zoneinfo" CACHE PATH "Compiled IANA time zone database")
set(VOXAPP_TIMEZONES_FILE "${CMAKE_BINARY_DIR}/timezones.ini")

if(EXISTS "${VOXAPP_ZONEINFO_DIR}/Europe/Berlin")
  add_custom_command(
    OUTPUT "${VOXAPP_TIMEZONES_FILE}"
    COMMAND sh "${CMAKE_SOURCE_DIR}/tools/timezones/make-timezones.sh" "${VOXAPP_ZONEINFO_DIR}"
            "${VOXAPP_TIMEZONES_FILE}"
    DEPENDS "${CMAKE_SOURCE_DIR}/tools/timezones/make-timezones.sh"
    COMMENT "Generating timezones.ini from ${VOXAPP_ZONEINFO_DIR}"
    VERBATIM)
  add_custom_target(voxapp_timezones ALL DEPENDS "${VOXAPP_TIMEZONES_FILE}")
else()
  message(STATUS "Zone table: no compiled time zone database in ${VOXAPP_ZONEINFO_DIR} "
                 "(install tzdata); timezones.ini is not generated")
endif()
