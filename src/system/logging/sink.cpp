#include "system/logging/sink.hpp"

#include "system/logging/log_line.hpp"

namespace voxapp {

void Sink::log(std::string_view text, LogLevel level) {
    if (level < min_level_) {
        return;
    }
    write_line(format_log_line(level, text));
}

void Sink::data(std::string_view text) {
    if (depth_ != LoggingDepth::normal) {
        log(text, LogLevel::data);
    }
}

void Sink::data_full(std::string_view bytes) {
    if (depth_ == LoggingDepth::data_full) {
        write_line(format_data_full_line(bytes));
    }
}

}  // namespace voxapp
