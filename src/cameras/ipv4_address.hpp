#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace voxapp {

// An IPv4 address: four octets in the order written, first octet first.
class Ipv4Address {
public:
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
