#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "platform/time_zone_backend.hpp"
#include "system/events/event_dispatcher.hpp"

namespace voxapp {

// The router's time zone as an IANA name, for the rest of the daemon: it caches the current
// name, changes it through the backend, and publishes TimeZoneChanged whenever it changes,
// whoever changed it.
//
// Threads: the members may be called from any thread that the backend allows (the UCI backend
// wants changes on the event loop's thread); one mutex serializes them, and
// change_time_zone holds it across the backend's change, so a concurrent reader waits for the
// outcome. TimeZoneChanged is published on the calling thread with the mutex held; the mutex is
// recursive, so a handler may call back into the service on that thread, but it must not wait
// for another thread that does.
class TimeZoneService {
public:
    // Reads the current zone from the backend; if that fails the cache starts empty.
    // Error: a null backend or dispatcher.
    static Result<std::unique_ptr<TimeZoneService>> create(
        std::shared_ptr<TimeZoneBackend> backend, std::shared_ptr<EventDispatcher> dispatcher);

    // The cached name; never fails, empty when the start-up read failed.
    Result<std::string> current_time_zone() const;
    // Nothing happens when `name` is already current. Otherwise the backend changes the system;
    // its error comes back unchanged and the cache stays, or the name is cached and published.
    Status change_time_zone(std::string_view name);
    // The system's zone was changed by someone else: cache and publish `name` unless it is
    // already current.
    void on_system_time_zone_changed(std::string_view name);
    // The backend's POSIX TZ string for an IANA name.
    Result<std::string> posix_time_zone(std::string_view name) const;

private:
    TimeZoneService(std::shared_ptr<TimeZoneBackend> backend,
                    std::shared_ptr<EventDispatcher> dispatcher);

    // Caller holds mutex_.
    void adopt(std::string_view name);

    const std::shared_ptr<TimeZoneBackend> backend_;
    const std::shared_ptr<EventDispatcher> dispatcher_;
    mutable std::recursive_mutex mutex_;
    std::string current_;
};

}  // namespace voxapp
