#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/result.hpp"
#include "platform/time_zone_service.hpp"
#include "system/io/fd_handler.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Notices changes of the time zone made outside the daemon (web interface, a shell user) by
// watching "/etc/config" with inotify for files written or renamed into place, and reports a
// changed "system.@system[0].zoneName" to the TimeZoneService.
//
// The creator adds the monitor to the event loop (EventLoop::add) and keeps it alive while it is
// registered; destroying it removes it from the loop. Runs on the loop's thread.
class SystemTimeZoneMonitor final : public FdHandler {
public:
    // Bytes taken from the inotify descriptor per readable event.
    static constexpr std::size_t kReadSize = 32768;

    // Watches the configuration directory and remembers the current zone name (none if it cannot
    // be read); logs "SystemTimeZoneMonitor started.". Error: errno of inotify_init1 or
    // inotify_add_watch (ENOENT when the directory is missing).
    static Result<std::unique_ptr<SystemTimeZoneMonitor>> create(
        std::shared_ptr<Logger> logger, std::shared_ptr<TimeZoneService> service);

    ~SystemTimeZoneMonitor() override;
    SystemTimeZoneMonitor(SystemTimeZoneMonitor&&) = delete;

    int fd() const override { return inotify_fd_; }
    std::uint32_t events() const override { return EPOLLIN; }
    void on_readable() override;
    void on_writable() override {}
    void on_error() override;

private:
    SystemTimeZoneMonitor(int inotify_fd, int watch, std::shared_ptr<Logger> logger,
                          std::shared_ptr<TimeZoneService> service);

    // Whether the events in the first `size` bytes of the buffer touch the "system" file.
    bool touches_system_file(std::size_t size) const;

    int inotify_fd_;
    int watch_;
    std::shared_ptr<Logger> logger_;
    std::shared_ptr<TimeZoneService> service_;
    std::optional<std::string> last_seen_;
    std::vector<char> buffer_;
};

}  // namespace voxapp
