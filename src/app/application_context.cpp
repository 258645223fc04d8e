#include "app/application_context.hpp"

#include "system/logging/console_sink.hpp"
#include "system/logging/syslog_sink.hpp"
#include "system/logging/tee_logger.hpp"

namespace voxapp {

std::shared_ptr<Logger> ApplicationContext::logger() {
    std::call_once(logger_once_, [this] { create_logger(); });
    return logger_;
}

std::shared_ptr<FileSink> ApplicationContext::file_sink() {
    std::call_once(logger_once_, [this] { create_logger(); });
    return file_sink_;
}

void ApplicationContext::create_logger() {
    auto console =
        std::make_shared<ConsoleSink>(settings_.logging_depth, settings_.min_logging_level);
    file_sink_ =
        std::make_shared<FileSink>(settings_.log_path, settings_.usb_relative_log_path,
                                   settings_.logging_depth, settings_.min_logging_level, stderr,
                                   LogRotation{settings_.log_max_size, settings_.log_max_files});
    logger_ = std::make_shared<TeeLogger>(std::move(console), file_sink_);
    if (settings_.log_syslog) {
        logger_ = std::make_shared<TeeLogger>(logger_, std::make_shared<SyslogSink>());
    }
}

}  // namespace voxapp
