#include <gtest/gtest.h>

#include <string>

#include "cameras/uuid_generator.hpp"
#include "core/ipv4_address.hpp"
#include "core/mac_address.hpp"
#include "core/time_point.hpp"
#include "core/uuid.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

std::string ipv4_error(const char* text) {
    auto parsed = Ipv4Address::parse(text);
    return parsed ? "ok " + parsed->to_string() : parsed.error().message_text();
}

TEST(Ipv4AddressTest, ParsesDottedDecimalWithEveryErrorText) {
    EXPECT_EQ(Ipv4Address::parse("192.168.1.1")->octets(), (Ipv4Address::Octets{192, 168, 1, 1}));
    EXPECT_EQ(ipv4_error("010.0.0.255"), "ok 10.0.0.255");
    EXPECT_EQ(ipv4_error("1.2.3.-0"), "ok 1.2.3.0");
    EXPECT_EQ(ipv4_error(""), "IP address cannot be empty");
    EXPECT_EQ(ipv4_error("192.168.1"), "IP address must have 4 parts");
    EXPECT_EQ(ipv4_error("1.2.3.4.5"), "IP address has too many parts");
    EXPECT_EQ(ipv4_error("1.2.3.4."), "IP address has too many parts");
    EXPECT_EQ(ipv4_error("1..2.3"), "IP address part cannot be empty");
    EXPECT_EQ(ipv4_error(".1.2.3"), "IP address part cannot be empty");
    EXPECT_EQ(ipv4_error("1.2.3.x"), "Invalid IP address part format");
    EXPECT_EQ(ipv4_error("1.2.3.+4"), "Invalid IP address part format");
    EXPECT_EQ(ipv4_error("1.2.3.-"), "Invalid IP address part format");
    EXPECT_EQ(ipv4_error("1.2.3.99999999999"), "Invalid IP address part format");
    EXPECT_EQ(ipv4_error("1.2.3.4x"), "Invalid IP address part format (trailing characters)");
    EXPECT_EQ(ipv4_error("1.2.3. 4"), "Invalid IP address part format");
    EXPECT_EQ(ipv4_error("1.2.3.256"), "IP address part out of range (0-255)");
    EXPECT_EQ(ipv4_error("1.2.3.-1"), "IP address part out of range (0-255)");
    EXPECT_EQ(ipv4_error("2147483647.1.1.1"), "IP address part out of range (0-255)");
}

TEST(MacAddressTest, ParsesEitherSeparatorAndPrintsLowerCaseColons) {
    auto dashes = MacAddress::parse("AA-BB-CC-DD-EE-FF");
    auto colons = MacAddress::parse("aa:bb:cc:dd:ee:ff");
    ASSERT_TRUE(dashes.ok());
    ASSERT_TRUE(colons.ok());
    EXPECT_EQ(*dashes, *colons);
    EXPECT_EQ(dashes->to_string(), "aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(MacAddress::parse("aa-bb:cc-dd-ee-ff").error().message(),
              "Invalid MAC address format");
    EXPECT_EQ(MacAddress::parse("aa:bb:cc:dd:ee:fg").error().message(),
              "Invalid MAC address format");
    EXPECT_EQ(MacAddress::parse("aabbccddeeff").error().message(), "Invalid MAC address length");
}

TEST(UuidTest, ParsesEitherCaseAndChecksHyphensAndDigits) {
    const char* upper = "0189ABCD-EF01-7234-8567-89ABCDEF0123";
    auto parsed = Uuid::parse(upper);
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed->to_string(), "0189abcd-ef01-7234-8567-89abcdef0123");
    EXPECT_EQ(Uuid::parse("0189abcde-f01-7234-8567-89abcdef0123").error().message(),
              "Invalid UUID format: missing hyphen");
    EXPECT_EQ(Uuid::parse("0189abcd-ef01-7234-8567-89abcdef012g").error().message(),
              "Invalid UUID format: non-hex character");
    EXPECT_EQ(Uuid::parse("0189abcd-ef01-7234-8567-89abcdef012").error().message(),
              "Invalid UUID string length");
}

TEST(UuidGeneratorTest, GeneratesVersion7IdsInTimeOrder) {
    RandomUuidGenerator generator;
    auto first = generator.generate();
    ASSERT_TRUE(first.ok()) << first.error().code();
    // The next id must fall into a later millisecond.
    const TimePoint first_millisecond = system_now() / 1'000'000;
    while (system_now() / 1'000'000 <= first_millisecond) {
    }
    auto second = generator.generate();
    ASSERT_TRUE(second.ok());
    const std::string a = first->to_string();
    const std::string b = second->to_string();
    EXPECT_LT(a.substr(0, 13), b.substr(0, 13));
    for (const std::string& text : {a, b}) {
        EXPECT_EQ(text[14], '7') << text;
        EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
    }
}

// A relocated root without a random device node once silenced discovery for good.
TEST(UuidGeneratorTest, NeedsNoRandomDeviceBelowTheRelocationRoot) {
    test::TempDir root;
    ::setenv("VOXAPP_ROOT", root.path().c_str(), 1);
    auto generated = RandomUuidGenerator().generate();
    ::unsetenv("VOXAPP_ROOT");
    ASSERT_TRUE(generated.ok()) << generated.error().code();
}

}  // namespace
}  // namespace voxapp
