#pragma once

#include <memory>

#include "system/logging/logger.hpp"

namespace voxapp {

// Forwards every operation to the first logger (the console), then to the second (the file).
class TeeLogger : public Logger {
public:
    TeeLogger(std::shared_ptr<Logger> first, std::shared_ptr<Logger> second)
        : first_(std::move(first)), second_(std::move(second)) {}

    void log(std::string_view text, LogLevel level) override {
        first_->log(text, level);
        second_->log(text, level);
    }
    void debug(std::string_view text) override {
        first_->debug(text);
        second_->debug(text);
    }
    void info(std::string_view text) override {
        first_->info(text);
        second_->info(text);
    }
    void warning(std::string_view text) override {
        first_->warning(text);
        second_->warning(text);
    }
    void error(std::string_view text) override {
        first_->error(text);
        second_->error(text);
    }
    void critical(std::string_view text) override {
        first_->critical(text);
        second_->critical(text);
    }
    void data(std::string_view text) override {
        first_->data(text);
        second_->data(text);
    }
    void data_full(std::string_view bytes) override {
        first_->data_full(bytes);
        second_->data_full(bytes);
    }

private:
    std::shared_ptr<Logger> first_;
    std::shared_ptr<Logger> second_;
};

}  // namespace voxapp
