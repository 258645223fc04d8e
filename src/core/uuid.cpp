#include "core/uuid.hpp"

#include "core/hex_digit.hpp"

namespace voxapp {
namespace {

bool is_hyphen_position(std::size_t at) {
    return at == 8 || at == 13 || at == 18 || at == 23;
}

}  // namespace

Result<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) {
        return Error::fixed("Invalid UUID string length");
    }
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (is_hyphen_position(at) && text[at] != '-') {
            return Error::fixed("Invalid UUID format: missing hyphen");
        }
    }
    Octets octets{};
    std::size_t octet = 0;
    for (std::size_t at = 0; at < text.size(); at += 2) {
        if (is_hyphen_position(at)) {
            ++at;
        }
        const int high = hex_value(text[at]);
        const int low = hex_value(text[at + 1]);
        if (high < 0 || low < 0) {
            return Error::fixed("Invalid UUID format: non-hex character");
        }
        octets[octet++] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return Uuid(octets);
}

}  // namespace voxapp
