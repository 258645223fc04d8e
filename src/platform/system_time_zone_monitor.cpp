#include "platform/system_time_zone_monitor.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "core/system_paths.hpp"
#include "platform/uci_access.hpp"
#include "platform/uci_time_zone_backend.hpp"

namespace voxapp {

Result<std::unique_ptr<SystemTimeZoneMonitor>> SystemTimeZoneMonitor::create(
    std::shared_ptr<Logger> logger, std::shared_ptr<TimeZoneService> service) {
    if (!logger || !service) {
        return Error::fixed("SystemTimeZoneMonitor needs a logger and a TimeZoneService");
    }
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    const std::string directory = system_path("/etc/config");
    const int watch = inotify_add_watch(fd, directory.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
    if (watch < 0) {
        const int code = errno;
        close(fd);
        return Error::from_errno(code);
    }
    std::unique_ptr<SystemTimeZoneMonitor> monitor(
        new SystemTimeZoneMonitor(fd, watch, logger, std::move(service)));
    logger->info("SystemTimeZoneMonitor started.");
    return monitor;
}

SystemTimeZoneMonitor::SystemTimeZoneMonitor(int inotify_fd, int watch,
                                             std::shared_ptr<Logger> logger,
                                             std::shared_ptr<TimeZoneService> service)
    : inotify_fd_(inotify_fd),
      watch_(watch),
      logger_(std::move(logger)),
      service_(std::move(service)),
      buffer_(kReadSize) {
    if (auto current = read_uci_time_zone(open_uci_context().get())) {
        last_seen_ = std::move(*current);
    }
}

SystemTimeZoneMonitor::~SystemTimeZoneMonitor() {
    unregister();
    inotify_rm_watch(inotify_fd_, watch_);
    close(inotify_fd_);
}

bool SystemTimeZoneMonitor::touches_system_file(std::size_t size) const {
    std::size_t offset = 0;
    while (offset + sizeof(inotify_event) <= size) {
        inotify_event header;
        std::memcpy(&header, buffer_.data() + offset, sizeof header);
        // A lost event may have been the one for "system".
        if ((header.mask & IN_Q_OVERFLOW) != 0) {
            return true;
        }
        const char* name = buffer_.data() + offset + sizeof header;
        const std::size_t room = std::min<std::size_t>(header.len, size - offset - sizeof header);
        if (header.wd == watch_ && std::string_view(name, strnlen(name, room)) == "system") {
            return true;
        }
        offset += sizeof header + header.len;
    }
    return false;
}

void SystemTimeZoneMonitor::on_readable() {
    const ssize_t got = read(inotify_fd_, buffer_.data(), buffer_.size());
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            logger_->error("inotify read error: " + std::to_string(errno));
        }
        return;
    }
    if (!touches_system_file(static_cast<std::size_t>(got))) {
        return;
    }
    logger_->info("Detected filesystem activity on 'system' config file.");
    auto current = read_uci_time_zone(open_uci_context().get());
    if (!current) {
        logger_->error("Failed to read timezone value from UCI: " + current.error().message_text());
        return;
    }
    if (last_seen_ && *last_seen_ == *current) {
        logger_->debug("File 'system' was modified, but timezone value did not change.");
        return;
    }
    logger_->info("Timezone value changed from '" + last_seen_.value_or("unknown") + "' to '" +
                  *current + "'. Notifying TimeZoneService.");
    last_seen_ = *current;
    service_->on_system_time_zone_changed(*current);
}

void SystemTimeZoneMonitor::on_error() {
    logger_->error("SystemTimeZoneMonitor encountered an error on the file descriptor.");
}

}  // namespace voxapp
