#pragma once

#include <cstdint>
#include <string_view>

namespace voxapp {

enum class LogLevel : std::uint8_t {
    debug = 0,
    info = 1,
    warning = 2,
    error = 3,
    critical = 4,
    data = 5,       // protocol traffic; never a minimum level
    data_full = 6,  // byte dumps; never a minimum level
};

// How much protocol traffic is written: normal writes none, data writes DATA lines, data_full
// writes DATA lines and DATA FULL dumps.
enum class LoggingDepth : std::uint8_t { normal = 0, data = 1, data_full = 2 };

// The name in log lines; values outside the enumeration read "UNKNOWN".
std::string_view log_level_name(LogLevel level);

}  // namespace voxapp
