#include "instruments/device_manager.hpp"

#include <cerrno>

namespace voxapp {

DeviceManager::DeviceManager(std::shared_ptr<Logger> logger,
                             std::shared_ptr<DeviceCountStore> device_count,
                             std::uint32_t router_serial, RouterUnitFactory make_router_unit,
                             LinkFactory make_link)
    : logger_(std::move(logger)),
      device_count_(std::move(device_count)),
      router_serial_(router_serial),
      make_router_unit_(std::move(make_router_unit)),
      make_link_(std::move(make_link)) {}

DeviceManager::~DeviceManager() {
    std::lock_guard lock(mutex_);
    for (auto& [serial, entry] : devices_) {
        entry.link->stop();
    }
    devices_.clear();
}

void DeviceManager::start() {
    auto count = device_count_->get();
    if (count && *count == 0) {
        register_self();
    }
}

void DeviceManager::set_self_registered(std::uint8_t count) {
    if (count == 0) {
        register_self();
    } else {
        deregister_self();
    }
}

void DeviceManager::register_self() {
    std::lock_guard lock(mutex_);
    if (devices_.contains(router_serial_)) {
        return;
    }
    logger_->info("[DeviceManager] Registering self as a device");
    std::shared_ptr<Device> unit = make_router_unit_();
    std::unique_ptr<DeviceLink> link = make_link_(unit);
    link->start();
    devices_.emplace(router_serial_, Entry{std::move(unit), std::move(link)});
}

void DeviceManager::deregister_self() {
    std::lock_guard lock(mutex_);
    auto found = devices_.find(router_serial_);
    if (found == devices_.end()) {
        return;
    }
    logger_->info("[DeviceManager] Deregistering self as a device");
    found->second.link->stop();
    devices_.erase(found);
}

void DeviceManager::process_all(float /*elapsed_seconds*/) {
    std::lock_guard lock(mutex_);
    pass_.clear();
    for (const auto& [serial, entry] : devices_) {
        pass_.push_back(entry.device);
    }
    for (const auto& device : pass_) {
        auto processed = device->process();
        if (!processed && processed.error().code() != EAGAIN) {
            logger_->error("Error processing device: " + std::to_string(processed.error().code()));
        }
    }
    pass_.clear();
}

bool DeviceManager::has_device(std::uint32_t serial) const {
    std::lock_guard lock(mutex_);
    return devices_.contains(serial);
}

std::size_t DeviceManager::device_count() const {
    std::lock_guard lock(mutex_);
    return devices_.size();
}

}  // namespace voxapp
