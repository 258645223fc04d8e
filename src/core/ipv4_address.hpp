#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// An IPv4 address: four octets in the order written, first octet first.
class Ipv4Address {
public:
    // Dotted decimal, four parts of 0-255 (leading zeros and "-0" accepted). Errors: "IP address
    // cannot be empty", "IP address has too many parts", "IP address part cannot be empty",
    // "Invalid IP address part format", "Invalid IP address part format (trailing characters)",
    // "IP address part out of range (0-255)", "IP address must have 4 parts".
    static Result<Ipv4Address> parse(std::string_view text);

    using Octets = std::array<std::uint8_t, 4>;

    constexpr explicit Ipv4Address(const Octets& octets) : octets_(octets) {}
    constexpr Ipv4Address(std::uint8_t first, std::uint8_t second, std::uint8_t third,
                          std::uint8_t fourth)
        : octets_{first, second, third, fourth} {}

    constexpr const Octets& octets() const { return octets_; }

    // Dotted decimal without leading zeros, e.g. "192.168.1.20".
    std::string to_string() const;

    friend constexpr bool operator==(const Ipv4Address&, const Ipv4Address&) = default;

private:
    Octets octets_;
};

inline std::string Ipv4Address::to_string() const {
    std::string text;
    text.reserve(15);
    for (std::size_t i = 0; i < octets_.size(); ++i) {
        if (i != 0) {
            text.push_back('.');
        }
        text += std::to_string(octets_[i]);
    }
    return text;
}

}  // namespace voxapp
