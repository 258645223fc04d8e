#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "system/logging/logger.hpp"

namespace voxapp::test {

// A logger that keeps every line (level and text) for assertions. DATA and DATA FULL lines are
// kept regardless of any depth.
class RecordingLogger : public Logger {
public:
    void log(std::string_view text, LogLevel level) override;
    void debug(std::string_view text) override { log(text, LogLevel::debug); }
    void info(std::string_view text) override { log(text, LogLevel::info); }
    void warning(std::string_view text) override { log(text, LogLevel::warning); }
    void error(std::string_view text) override { log(text, LogLevel::error); }
    void critical(std::string_view text) override { log(text, LogLevel::critical); }
    void data(std::string_view text) override { log(text, LogLevel::data); }
    void data_full(std::string_view bytes) override { log(bytes, LogLevel::data_full); }

    std::vector<std::pair<LogLevel, std::string>> lines() const;
    std::vector<std::string> texts() const;
    bool contains(std::string_view text) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<LogLevel, std::string>> lines_;
};

}  // namespace voxapp::test
