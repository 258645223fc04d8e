#include "core/mac_address.hpp"

#include "core/hex_digit.hpp"

namespace voxapp {

Result<MacAddress> MacAddress::parse(std::string_view text) {
    if (text.size() != 17) {
        return Error::fixed("Invalid MAC address length");
    }
    const char separator = text[2];
    if (separator != '-' && separator != ':') {
        return Error::fixed("Invalid MAC address format");
    }
    Octets octets{};
    for (std::size_t i = 0; i < octets.size(); ++i) {
        const std::size_t at = i * 3;
        const int high = hex_value(text[at]);
        const int low = hex_value(text[at + 1]);
        if (high < 0 || low < 0 || (i != 0 && text[at - 1] != separator)) {
            return Error::fixed("Invalid MAC address format");
        }
        octets[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return MacAddress(octets);
}

}  // namespace voxapp
