#include "core/ipv4_address.hpp"

#include <cstdint>
#include <limits>

namespace voxapp {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// One dotted part: an optional '-' and decimal digits, in 0-255.
Result<std::uint8_t> parse_part(std::string_view part) {
    if (part.empty()) {
        return Error::fixed("IP address part cannot be empty");
    }
    std::size_t at = 0;
    const bool negative = part[0] == '-';
    if (negative) {
        at = 1;
    }
    if (at == part.size() || !is_digit(part[at])) {
        return Error::fixed("Invalid IP address part format");
    }
    std::int64_t value = 0;
    while (at < part.size() && is_digit(part[at])) {
        value = value * 10 + (part[at] - '0');
        if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) {
            return Error::fixed("Invalid IP address part format");
        }
        ++at;
    }
    if (negative) {
        value = -value;
    }
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return Error::fixed("Invalid IP address part format");
    }
    if (at != part.size()) {
        return Error::fixed("Invalid IP address part format (trailing characters)");
    }
    if (value < 0 || value > 255) {
        return Error::fixed("IP address part out of range (0-255)");
    }
    return static_cast<std::uint8_t>(value);
}

}  // namespace

Result<Ipv4Address> Ipv4Address::parse(std::string_view text) {
    if (text.empty()) {
        return Error::fixed("IP address cannot be empty");
    }
    Octets octets{};
    std::size_t stored = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        const std::size_t end = dot == std::string_view::npos ? text.size() : dot;
        if (stored == octets.size()) {
            return Error::fixed("IP address has too many parts");
        }
        auto part = parse_part(text.substr(start, end - start));
        if (!part) {
            return part.error();
        }
        octets[stored++] = *part;
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    if (stored != octets.size()) {
        return Error::fixed("IP address must have 4 parts");
    }
    return Ipv4Address(octets);
}

}  // namespace voxapp
