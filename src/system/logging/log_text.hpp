#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace voxapp {

// Builds a log text from pieces (texts and integers in decimal) into a reused string, without a
// stream or a temporary per piece.
inline void append_log_part(std::string& line, std::string_view text) {
    line += text;
}

template <std::integral T>
void append_log_part(std::string& line, T value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    line.append(digits, result.ptr);
}

template <typename... Parts>
void append_log_parts(std::string& line, const Parts&... parts) {
    (append_log_part(line, parts), ...);
}

}  // namespace voxapp
