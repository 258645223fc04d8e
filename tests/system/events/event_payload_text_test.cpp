#include <gtest/gtest.h>

#include "core/ipv4_address.hpp"
#include "core/mac_address.hpp"
#include "core/mounted_storage.hpp"
#include "core/uuid.hpp"

namespace voxapp {
namespace {

TEST(EventPayloadTextTest, UuidPrintsLowerCaseHexInGroupsOf8_4_4_4_12) {
    Uuid id(Uuid::Octets{0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0x0A, 0xBC, 0xDE, 0xF0,
                         0x00, 0x0F, 0xF0, 0xFF});
    EXPECT_EQ(id.to_string(), "abcdef01-2345-6789-0abc-def0000ff0ff");
    EXPECT_EQ(Uuid(Uuid::Octets{}).to_string(), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(id, Uuid(id.octets()));
    EXPECT_FALSE(id == Uuid(Uuid::Octets{}));
}

TEST(EventPayloadTextTest, Ipv4AddressPrintsDecimalOctetsWithoutLeadingZeros) {
    EXPECT_EQ(Ipv4Address(192, 168, 1, 20).to_string(), "192.168.1.20");
    EXPECT_EQ(Ipv4Address(0, 10, 100, 255).to_string(), "0.10.100.255");
    EXPECT_EQ(Ipv4Address(Ipv4Address::Octets{10, 0, 0, 1}), Ipv4Address(10, 0, 0, 1));
    EXPECT_FALSE(Ipv4Address(10, 0, 0, 1) == Ipv4Address(1, 0, 0, 10));
}

TEST(EventPayloadTextTest, MacAddressPrintsLowerCaseColonSeparatedPairs) {
    EXPECT_EQ(MacAddress(MacAddress::Octets{0x02, 0x00, 0x00, 0x11, 0x22, 0x33}).to_string(),
              "02:00:00:11:22:33");
    EXPECT_EQ(MacAddress(MacAddress::Octets{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}).to_string(),
              "aa:bb:cc:dd:ee:ff");
}

TEST(EventPayloadTextTest, StorageKindNames) {
    EXPECT_EQ(storage_kind_name(StorageKind::Unknown), "Unknown");
    EXPECT_EQ(storage_kind_name(StorageKind::Internal), "Internal");
    EXPECT_EQ(storage_kind_name(StorageKind::USB), "USB");
    EXPECT_EQ(storage_kind_name(StorageKind::MMC), "MMC");
    EXPECT_EQ(storage_kind_name(static_cast<StorageKind>(4)), "Invalid");
    EXPECT_EQ(storage_kind_name(static_cast<StorageKind>(255)), "Invalid");
}

}  // namespace
}  // namespace voxapp
