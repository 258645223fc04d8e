#pragma once

#include <string>
#include <string_view>

#include "core/log_level.hpp"

namespace voxapp {

// "<UTC time> [<LEVEL>] <text>\n", the form of every log line on every sink. The text's FTP
// passwords are masked and its control bytes escaped (log_guard.hpp).
std::string format_log_line(LogLevel level, std::string_view text);

// "<UTC time> [DATA FULL] " then each byte: 32..126 as itself, any other as two lower-case hex
// digits; then a line feed. FTP passwords are masked first.
std::string format_data_full_line(std::string_view bytes);

}  // namespace voxapp
