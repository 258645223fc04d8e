#include "core/log_level.hpp"

namespace voxapp {

std::string_view log_level_name(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "DEBUG";
        case LogLevel::info:
            return "INFO";
        case LogLevel::warning:
            return "WARNING";
        case LogLevel::error:
            return "ERROR";
        case LogLevel::critical:
            return "CRITICAL";
        case LogLevel::data:
            return "DATA";
        case LogLevel::data_full:
            return "DATA FULL";
    }
    return "UNKNOWN";
}

}  // namespace voxapp
