#include "core/timing_overrides.hpp"

#include <charconv>
#include <cstdint>
#include <cstdlib>

namespace voxapp {

std::optional<std::chrono::milliseconds> timing_override(std::string_view name) {
    const char* variable = std::getenv("VOXAPP_TIMING");
    if (variable == nullptr) {
        return std::nullopt;
    }
    std::string_view entries(variable);
    while (!entries.empty()) {
        const std::size_t comma = entries.find(',');
        const std::string_view entry = entries.substr(0, comma);
        entries = comma == std::string_view::npos ? std::string_view() : entries.substr(comma + 1);
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos || entry.substr(0, equals) != name) {
            continue;
        }
        const std::string_view digits = entry.substr(equals + 1);
        std::uint32_t value = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec == std::errc() && end == digits.data() + digits.size() && !digits.empty()) {
            return std::chrono::milliseconds(value);
        }
    }
    return std::nullopt;
}

}  // namespace voxapp
