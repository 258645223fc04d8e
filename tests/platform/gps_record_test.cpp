#include "platform/gps_record.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>

namespace voxapp {
namespace {

void put(GpsRecordBytes& bytes, std::size_t offset, std::initializer_list<std::uint8_t> values) {
    for (std::uint8_t value : values) {
        bytes[offset++] = value;
    }
}

TEST(GpsRecordTest, DecodesLittleEndianBytesAtTheLibraryOffsets) {
    GpsRecordBytes bytes;
    bytes.fill(0xAA);  // the unread bytes hold anything
    put(bytes, 0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x34, 0x40});   // 20.25
    put(bytes, 8, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x25, 0x40});   // 10.5
    put(bytes, 16, {0x7b, 0x14, 0xae, 0x47, 0xe1, 0x8a, 0x6a, 0x40});  // 212.34
    put(bytes, 24, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0xbf});  // -1.5
    put(bytes, 32, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0x3f});  // 1.5
    put(bytes, 40, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});  // 0.0
    put(bytes, 48, {0x07, 0x00, 0x00, 0x00});                          // 7 satellites
    put(bytes, 52, {0xff, 0xff, 0xff, 0xff});                          // fix type -1
    put(bytes, 64, {0x0d, 0x27, 0xe7, 0x65, 0x00, 0x00, 0x00, 0x00});  // 2024-03-05 14:07:09

    const GpsRecord record = decode_gps_record(bytes);
    EXPECT_EQ(record.longitude, 20.25);
    EXPECT_EQ(record.latitude, 10.5);
    EXPECT_EQ(record.altitude, 212.34);
    EXPECT_EQ(record.course, -1.5);
    EXPECT_EQ(record.speed, 1.5);
    EXPECT_EQ(record.accuracy, 0.0);
    EXPECT_EQ(record.satellites, 7);
    EXPECT_EQ(record.fix_type, -1);
    EXPECT_EQ(record.timestamp, 1'709'647'629);

    // A timestamp beyond 32 bits keeps its high half.
    put(bytes, 64, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(decode_gps_record(bytes).timestamp, std::int64_t{1} << 32);
}

TEST(GpsRecordTest, EncodingIsTheInverseAndMatchesTheLibraryStruct) {
    const GpsRecord record{-179.5, -89.25, -5.5, 359.0, 12.75, 3.5, 11, 2, 1'709'647'629};
    const GpsRecordBytes bytes = encode_gps_record(record);
    EXPECT_EQ(decode_gps_record(bytes), record);
    for (std::size_t i = 56; i < 64; ++i) {
        EXPECT_EQ(bytes[i], 0) << i;
    }

    // What a little-endian library writes into its struct reads back the same.
    if constexpr (std::endian::native != std::endian::little) {
        return;
    }
    GpsLibraryRecord native{};
    native.longitude = record.longitude;
    native.latitude = record.latitude;
    native.altitude = record.altitude;
    native.course = record.course;
    native.speed = record.speed;
    native.accuracy = record.accuracy;
    native.satellites = record.satellites;
    native.fix_type = record.fix_type;
    native.timestamp = record.timestamp;
    GpsRecordBytes raw{};
    std::memcpy(raw.data(), &native, sizeof native);
    EXPECT_EQ(decode_gps_record(raw), record);
}

}  // namespace
}  // namespace voxapp
