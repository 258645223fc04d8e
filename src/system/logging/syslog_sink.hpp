#pragma once

#include <functional>
#include <string>

#include "system/logging/logger.hpp"

namespace voxapp {

// Hands warnings, errors and critical lines to the system log, so that "logread" shows them
// beside every other daemon's; everything else is left to the console and the file. The text
// gets the same guard as every log line (passwords masked, control bytes escaped). Thread-safe.
class SyslogSink final : public Logger {
public:
    // Receives the syslog priority and the guarded text. Default: syslog(3) under the ident
    // "voxapp", facility daemon.
    using Writer = std::function<void(int priority, const std::string& text)>;

    explicit SyslogSink(Writer writer = {});

    void log(std::string_view text, LogLevel level) override;
    void debug(std::string_view) override {}
    void info(std::string_view) override {}
    void warning(std::string_view text) override { log(text, LogLevel::warning); }
    void error(std::string_view text) override { log(text, LogLevel::error); }
    void critical(std::string_view text) override { log(text, LogLevel::critical); }
    void data(std::string_view) override {}
    void data_full(std::string_view) override {}

private:
    Writer writer_;
};

}  // namespace voxapp
