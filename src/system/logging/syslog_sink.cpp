#include "system/logging/syslog_sink.hpp"

#include <syslog.h>

#include <utility>

#include "system/logging/log_guard.hpp"

namespace voxapp {

SyslogSink::SyslogSink(Writer writer) : writer_(std::move(writer)) {
    if (!writer_) {
        openlog("voxapp", LOG_PID, LOG_DAEMON);
        writer_ = [](int priority, const std::string& text) {
            syslog(priority, "%s", text.c_str());
        };
    }
}

void SyslogSink::log(std::string_view text, LogLevel level) {
    int priority;
    switch (level) {
        case LogLevel::warning:
            priority = LOG_WARNING;
            break;
        case LogLevel::error:
            priority = LOG_ERR;
            break;
        case LogLevel::critical:
            priority = LOG_CRIT;
            break;
        default:
            return;
    }
    std::string line;
    append_escaped(line, mask_passwords(text));
    writer_(priority, line);
}

}  // namespace voxapp
