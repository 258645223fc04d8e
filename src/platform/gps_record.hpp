#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/lgps.h"

namespace voxapp {

// Result codes of the GPS library's lgps_get.
inline constexpr int kGpsResultOk = LGPS_OK;
inline constexpr int kGpsResultBusError = LGPS_ERR_UBUS;     // the bus could not be reached
inline constexpr int kGpsResultLibraryError = LGPS_ERR_LIB;  // the library or receiver failed

// The record lgps_get fills: 72 bytes, little-endian.
inline constexpr std::size_t kGpsRecordSize = 72;
using GpsRecordBytes = std::array<std::uint8_t, kGpsRecordSize>;

// The library's record (lgps.h) on the router's ABI. This code never reads the struct's members
// directly but decodes bytes, so the result does not depend on the host's byte order or
// alignment rules; the struct only fixes the offsets.
using GpsLibraryRecord = lgps_data;
static_assert(std::is_standard_layout_v<GpsLibraryRecord>);
static_assert(sizeof(GpsLibraryRecord) == kGpsRecordSize);
static_assert(offsetof(GpsLibraryRecord, longitude) == 0);
static_assert(offsetof(GpsLibraryRecord, latitude) == 8);
static_assert(offsetof(GpsLibraryRecord, altitude) == 16);
static_assert(offsetof(GpsLibraryRecord, course) == 24);
static_assert(offsetof(GpsLibraryRecord, speed) == 32);
static_assert(offsetof(GpsLibraryRecord, accuracy) == 40);
static_assert(offsetof(GpsLibraryRecord, satellites) == 48);
static_assert(offsetof(GpsLibraryRecord, fix_type) == 52);
static_assert(offsetof(GpsLibraryRecord, timestamp) == 64);

// The fields of the record this system reads, decoded.
struct GpsRecord {
    double longitude = 0.0;
    double latitude = 0.0;
    double altitude = 0.0;
    double course = 0.0;
    double speed = 0.0;
    double accuracy = 0.0;
    std::int32_t satellites = 0;
    std::int32_t fix_type = 0;
    std::int64_t timestamp = 0;

    friend bool operator==(const GpsRecord&, const GpsRecord&) = default;
};

GpsRecord decode_gps_record(const GpsRecordBytes& bytes);
// The inverse; the reserved bytes are zero.
GpsRecordBytes encode_gps_record(const GpsRecord& record);

}  // namespace voxapp
