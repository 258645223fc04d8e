#include "platform/time_zone_service.hpp"

#include "system/events/system_events.hpp"

namespace voxapp {

Result<std::unique_ptr<TimeZoneService>> TimeZoneService::create(
    std::shared_ptr<TimeZoneBackend> backend, std::shared_ptr<EventDispatcher> dispatcher) {
    if (!backend || !dispatcher) {
        return Error::fixed("TimeZoneService needs a backend and an event dispatcher");
    }
    return std::unique_ptr<TimeZoneService>(
        new TimeZoneService(std::move(backend), std::move(dispatcher)));
}

TimeZoneService::TimeZoneService(std::shared_ptr<TimeZoneBackend> backend,
                                 std::shared_ptr<EventDispatcher> dispatcher)
    : backend_(std::move(backend)), dispatcher_(std::move(dispatcher)) {
    if (auto current = backend_->current_time_zone()) {
        current_ = std::move(*current);
    }
}

Result<std::string> TimeZoneService::current_time_zone() const {
    std::lock_guard lock(mutex_);
    return current_;
}

Status TimeZoneService::change_time_zone(std::string_view name) {
    std::lock_guard lock(mutex_);
    if (name == current_) {
        return {};
    }
    if (Status changed = backend_->set_time_zone(name); !changed) {
        return changed;
    }
    adopt(name);
    return {};
}

void TimeZoneService::on_system_time_zone_changed(std::string_view name) {
    std::lock_guard lock(mutex_);
    if (name != current_) {
        adopt(name);
    }
}

Result<std::string> TimeZoneService::posix_time_zone(std::string_view name) const {
    return backend_->posix_time_zone(name);
}

void TimeZoneService::adopt(std::string_view name) {
    current_ = std::string(name);
    // Published from a copy: a handler calling back into the service may change current_.
    dispatcher_->publish(TimeZoneChanged{current_});
}

}  // namespace voxapp
