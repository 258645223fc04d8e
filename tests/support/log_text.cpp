#include "support/log_text.hpp"

#include <regex>

namespace voxapp::test {

std::vector<std::string> unstamped_lines(const std::string& output) {
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        const bool complete = end != std::string::npos;
        if (!complete) {
            end = output.size();
        }
        std::string line = output.substr(start, end - start);
        if (std::regex_search(line, stamp)) {
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
