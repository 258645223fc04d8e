#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace voxapp {

// Result codes of the GPS library's lgps_get.
inline constexpr int kGpsResultOk = 0;
inline constexpr int kGpsResultBusError = 1;      // the system bus could not be reached
inline constexpr int kGpsResultLibraryError = 2;  // the library or the receiver failed

// The record lgps_get fills: 72 bytes, little-endian.
inline constexpr std::size_t kGpsRecordSize = 72;
using GpsRecordBytes = std::array<std::uint8_t, kGpsRecordSize>;

// The library's record as a C struct on the router's ABI (32-bit MIPS, little-endian, 64-bit
// members aligned to 8). A backend over the vendor library checks its struct against this one
// and copies the bytes; this code never reads the struct's members directly but decodes bytes,
// so the result does not depend on the host's byte order or alignment rules.
struct GpsLibraryRecord {
    double longitude;
    double latitude;
    double altitude;
    double course;
    double speed;
    double accuracy;
    std::int32_t satellites;
    std::int32_t fix_type;
    std::uint8_t reserved[8];
    std::int64_t timestamp;  // seconds since 1970-01-01 UTC; 0: no data
};
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
