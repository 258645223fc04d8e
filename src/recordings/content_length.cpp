#include "recordings/content_length.hpp"

namespace voxapp {

std::uint64_t parse_content_length(std::string_view headers) {
    while (!headers.empty()) {
        const std::size_t end = headers.find('\n');
        const std::string_view line = headers.substr(0, end);
        headers = end == std::string_view::npos ? std::string_view() : headers.substr(end + 1);
        if (line.find("Content-Length:") == std::string_view::npos) {
            continue;
        }
        std::size_t at = line.find(':') + 1;
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
            ++at;
        }
        std::uint64_t value = 0;
        for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
            const auto digit = static_cast<std::uint64_t>(line[at] - '0');
            if (value > (UINT64_MAX - digit) / 10) {
                return 0;
            }
            value = value * 10 + digit;
        }
        return value;
    }
    return 0;
}

}  // namespace voxapp
