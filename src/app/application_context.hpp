#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "core/settings.hpp"
#include "system/logging/file_sink.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// What every service factory reads: the settings, the application directory and the logger.
class ApplicationContext {
public:
    ApplicationContext(Settings settings, std::string application_directory)
        : settings_(std::move(settings)),
          application_directory_(std::move(application_directory)) {}

    const Settings& settings() const { return settings_; }
    const std::string& application_directory() const { return application_directory_; }

    // The daemon's logger (console, then file). The first call creates the console sink, then
    // the file sink (which opens the internal log file), then the tee; later calls return the
    // same logger. Thread-safe.
    std::shared_ptr<Logger> logger();
    // The file sink behind the logger, for the storage reactions.
    std::shared_ptr<FileSink> file_sink();

private:
    void create_logger();

    Settings settings_;
    std::string application_directory_;
    std::once_flag logger_once_;
    std::shared_ptr<FileSink> file_sink_;
    std::shared_ptr<Logger> logger_;
};

}  // namespace voxapp
