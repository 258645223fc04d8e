#include "core/console.hpp"

#include <cstdio>
#include <string>

#include "core/time_point.hpp"

namespace voxapp {

void print_console_message(std::string_view message) {
    std::string line = log_timestamp();
    line.append(message).push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace voxapp
