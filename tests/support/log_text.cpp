#include "support/log_text.hpp"

#include <cctype>
#include <string_view>

namespace voxapp::test {

namespace {

// "YYYY-MM-DD HH:MM:SS" at the start of the line.
bool has_stamp(const std::string& line) {
    static constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
    if (line.size() < kShape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (kShape[i] == 'd' ? !digit : line[i] != kShape[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> unstamped_lines(const std::string& output) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        const bool complete = end != std::string::npos;
        if (!complete) {
            end = output.size();
        }
        std::string line = output.substr(start, end - start);
        if (has_stamp(line)) {
            line.erase(0, 19);
        } else {
            line = "<no stamp>" + line;
        }
        if (!complete) {
            line += "<no newline>";
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace voxapp::test
