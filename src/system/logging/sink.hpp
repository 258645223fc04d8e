#pragma once

#include <string_view>

#include "system/logging/logger.hpp"

namespace voxapp {

// The level and depth rules shared by the console and file sinks: the level operations go
// through `log`, which drops lines below the minimum level; `data` is a DATA line unless the
// depth is normal; `data_full` bypasses the minimum level and writes only at depth data_full.
class Sink : public Logger {
public:
    Sink(LoggingDepth depth, LogLevel min_level) : depth_(depth), min_level_(min_level) {}

    void log(std::string_view text, LogLevel level) override;
    void debug(std::string_view text) override { log(text, LogLevel::debug); }
    void info(std::string_view text) override { log(text, LogLevel::info); }
    void warning(std::string_view text) override { log(text, LogLevel::warning); }
    void error(std::string_view text) override { log(text, LogLevel::error); }
    void critical(std::string_view text) override { log(text, LogLevel::critical); }
    void data(std::string_view text) override;
    void data_full(std::string_view bytes) override;

protected:
    // Writes one finished line whole. Called from any thread.
    virtual void write_line(std::string_view line) = 0;

private:
    LoggingDepth depth_;
    LogLevel min_level_;
};

}  // namespace voxapp
