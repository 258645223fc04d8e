#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// A 128-bit identifier (a camera's id): sixteen octets in the order of its text form.
class Uuid {
public:
    // 36 characters, hex digits of either case in groups of 8-4-4-4-12 joined by "-". Errors:
    // "Invalid UUID string length", "Invalid UUID format: missing hyphen", "Invalid UUID format:
    // non-hex character".
    static Result<Uuid> parse(std::string_view text);

    using Octets = std::array<std::uint8_t, 16>;

    constexpr explicit Uuid(const Octets& octets) : octets_(octets) {}

    constexpr const Octets& octets() const { return octets_; }

    // 36 characters: lower-case hex digits in groups of 8-4-4-4-12 joined by "-".
    std::string to_string() const;

    friend constexpr bool operator==(const Uuid&, const Uuid&) = default;

private:
    Octets octets_;
};

inline std::string Uuid::to_string() const {
    constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < octets_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(digits[octets_[i] >> 4]);
        text.push_back(digits[octets_[i] & 0x0F]);
    }
    return text;
}

}  // namespace voxapp
