#include "system/logging/log_line.hpp"

#include "core/time_point.hpp"
#include "system/logging/log_guard.hpp"

namespace voxapp {

std::string format_log_line(LogLevel level, std::string_view text) {
    const std::string_view name = log_level_name(level);
    const std::string masked = mask_passwords(text);
    std::string line = log_timestamp();
    line.reserve(line.size() + name.size() + masked.size() + 5);
    line.append(" [").append(name).append("] ");
    append_escaped(line, masked);
    line.push_back('\n');
    return line;
}

std::string format_data_full_line(std::string_view raw) {
    static constexpr char kHex[] = "0123456789abcdef";
    const std::string bytes = mask_passwords(raw);
    std::string line = log_timestamp();
    line.reserve(line.size() + 13 + 2 * bytes.size() + 1);
    line.append(" [DATA FULL] ");
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 32 && byte <= 126) {
            line.push_back(c);
        } else {
            line.push_back(kHex[byte >> 4]);
            line.push_back(kHex[byte & 0x0F]);
        }
    }
    line.push_back('\n');
    return line;
}

}  // namespace voxapp
