#pragma once

#include <string_view>

#include "core/log_level.hpp"

namespace voxapp {

// The daemon's logging interface. Texts are byte strings; no character set is assumed.
// Implementations may be called from any thread; each line is written whole.
class Logger {
public:
    virtual ~Logger() = default;

    virtual void log(std::string_view text, LogLevel level) = 0;
    virtual void debug(std::string_view text) = 0;
    virtual void info(std::string_view text) = 0;
    virtual void warning(std::string_view text) = 0;
    virtual void error(std::string_view text) = 0;
    virtual void critical(std::string_view text) = 0;
    // A DATA line, written only when the logging depth is data or data_full.
    virtual void data(std::string_view text) = 0;
    // A DATA FULL dump of raw bytes (printable bytes as they are, others as two hex digits),
    // written only at depth data_full and regardless of the minimum level.
    virtual void data_full(std::string_view bytes) = 0;
};

}  // namespace voxapp
