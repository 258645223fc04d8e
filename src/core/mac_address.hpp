#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// A MAC address: six octets in the order written.
class MacAddress {
public:
    // Six two-digit hex groups joined all by "-" or all by ":", either case. Errors: "Invalid MAC
    // address length" (not 17 characters), "Invalid MAC address format".
    static Result<MacAddress> parse(std::string_view text);

    using Octets = std::array<std::uint8_t, 6>;

    constexpr explicit MacAddress(const Octets& octets) : octets_(octets) {}

    constexpr const Octets& octets() const { return octets_; }

    // Six two-digit lower-case hex groups joined by ":", e.g. "02:00:00:11:22:33".
    std::string to_string() const;

    friend constexpr bool operator==(const MacAddress&, const MacAddress&) = default;

private:
    Octets octets_;
};

inline std::string MacAddress::to_string() const {
    constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(17);
    for (std::size_t i = 0; i < octets_.size(); ++i) {
        if (i != 0) {
            text.push_back(':');
        }
        text.push_back(digits[octets_[i] >> 4]);
        text.push_back(digits[octets_[i] & 0x0F]);
    }
    return text;
}

}  // namespace voxapp
