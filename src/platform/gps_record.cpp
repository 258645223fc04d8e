#include "platform/gps_record.hpp"

#include <bit>

namespace voxapp {

namespace {

std::uint64_t load_u64(const GpsRecordBytes& bytes, std::size_t offset) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        value |= static_cast<std::uint64_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

std::uint32_t load_u32(const GpsRecordBytes& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

void store_u64(GpsRecordBytes& bytes, std::size_t offset, std::uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void store_u32(GpsRecordBytes& bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

double load_double(const GpsRecordBytes& bytes, std::size_t offset) {
    return std::bit_cast<double>(load_u64(bytes, offset));
}

void store_double(GpsRecordBytes& bytes, std::size_t offset, double value) {
    store_u64(bytes, offset, std::bit_cast<std::uint64_t>(value));
}

}  // namespace

GpsRecord decode_gps_record(const GpsRecordBytes& bytes) {
    GpsRecord record;
    record.longitude = load_double(bytes, offsetof(GpsLibraryRecord, longitude));
    record.latitude = load_double(bytes, offsetof(GpsLibraryRecord, latitude));
    record.altitude = load_double(bytes, offsetof(GpsLibraryRecord, altitude));
    record.course = load_double(bytes, offsetof(GpsLibraryRecord, course));
    record.speed = load_double(bytes, offsetof(GpsLibraryRecord, speed));
    record.accuracy = load_double(bytes, offsetof(GpsLibraryRecord, accuracy));
    record.satellites =
        static_cast<std::int32_t>(load_u32(bytes, offsetof(GpsLibraryRecord, satellites)));
    record.fix_type =
        static_cast<std::int32_t>(load_u32(bytes, offsetof(GpsLibraryRecord, fix_type)));
    record.timestamp =
        static_cast<std::int64_t>(load_u64(bytes, offsetof(GpsLibraryRecord, timestamp)));
    return record;
}

GpsRecordBytes encode_gps_record(const GpsRecord& record) {
    GpsRecordBytes bytes{};
    store_double(bytes, offsetof(GpsLibraryRecord, longitude), record.longitude);
    store_double(bytes, offsetof(GpsLibraryRecord, latitude), record.latitude);
    store_double(bytes, offsetof(GpsLibraryRecord, altitude), record.altitude);
    store_double(bytes, offsetof(GpsLibraryRecord, course), record.course);
    store_double(bytes, offsetof(GpsLibraryRecord, speed), record.speed);
    store_double(bytes, offsetof(GpsLibraryRecord, accuracy), record.accuracy);
    store_u32(bytes, offsetof(GpsLibraryRecord, satellites),
              static_cast<std::uint32_t>(record.satellites));
    store_u32(bytes, offsetof(GpsLibraryRecord, fix_type),
              static_cast<std::uint32_t>(record.fix_type));
    store_u64(bytes, offsetof(GpsLibraryRecord, timestamp),
              static_cast<std::uint64_t>(record.timestamp));
    return bytes;
}

}  // namespace voxapp
