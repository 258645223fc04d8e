#pragma once

#include <memory>
#include <string>

#include "system/logging/logger.hpp"

namespace voxapp {

// Puts "[<tag>] " in front of every text (a device's serial number, so that each device's
// lines can be told apart). `log` with an explicit level is forwarded unchanged.
class TaggingLogger : public Logger {
public:
    TaggingLogger(std::shared_ptr<Logger> wrapped, std::string tag)
        : wrapped_(std::move(wrapped)), prefix_("[" + tag + "] ") {}

    void log(std::string_view text, LogLevel level) override { wrapped_->log(text, level); }
    void debug(std::string_view text) override { wrapped_->debug(tagged(text)); }
    void info(std::string_view text) override { wrapped_->info(tagged(text)); }
    void warning(std::string_view text) override { wrapped_->warning(tagged(text)); }
    void error(std::string_view text) override { wrapped_->error(tagged(text)); }
    void critical(std::string_view text) override { wrapped_->critical(tagged(text)); }
    void data(std::string_view text) override { wrapped_->data(tagged(text)); }
    void data_full(std::string_view bytes) override { wrapped_->data_full(tagged(bytes)); }

private:
    std::string tagged(std::string_view text) const { return prefix_ + std::string(text); }

    std::shared_ptr<Logger> wrapped_;
    std::string prefix_;
};

}  // namespace voxapp
