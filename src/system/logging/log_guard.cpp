#include "system/logging/log_guard.hpp"

namespace voxapp {

namespace {

constexpr std::string_view kAccountCommand = "#7,";
constexpr std::string_view kSetCredentials = "D,C,1,";
constexpr std::string_view kMask = "***";

// The end of the field starting at `from` (its ',' ), or npos when a ';' or the end of the text
// comes first.
std::size_t field_end(std::string_view text, std::size_t from) {
    const std::size_t end = text.find_first_of(",;", from);
    return end != std::string_view::npos && text[end] == ',' ? end : std::string_view::npos;
}

// Where the password of an account command starting at `at` begins, or npos.
std::size_t password_start(std::string_view text, std::size_t at) {
    const std::size_t unit_end = field_end(text, at + kAccountCommand.size());
    if (unit_end == std::string_view::npos ||
        text.substr(unit_end + 1, kSetCredentials.size()) != kSetCredentials) {
        return std::string_view::npos;
    }
    const std::size_t user_end = field_end(text, unit_end + 1 + kSetCredentials.size());
    return user_end == std::string_view::npos ? user_end : user_end + 1;
}

}  // namespace

std::string mask_passwords(std::string_view text) {
    std::size_t at = text.find(kAccountCommand);
    if (at == std::string_view::npos) {
        return std::string(text);
    }
    std::string masked;
    masked.reserve(text.size());
    std::size_t copied = 0;
    while (at != std::string_view::npos) {
        const std::size_t password = password_start(text, at);
        if (password == std::string_view::npos) {
            at = text.find(kAccountCommand, at + 1);
            continue;
        }
        std::size_t end = text.find(';', password);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        masked.append(text, copied, password - copied).append(kMask);
        copied = end;
        at = text.find(kAccountCommand, end);
    }
    masked.append(text, copied);
    return masked;
}

void append_escaped(std::string& line, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            const char escape[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0x0F]};
            line.append(escape, sizeof escape);
        } else {
            line.push_back(c);
        }
    }
}

}  // namespace voxapp
