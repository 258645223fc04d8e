#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "instruments/device_count_store.hpp"
#include "server/device.hpp"
#include "server/device_link.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// The table of devices the server can talk to, each with its own DeviceLink, keyed by serial
// number. The router's own unit is registered while the persisted device count is 0.
//
// Threads: everything runs on the main loop thread; the mutex only serialises the handlers.
class DeviceManager {
public:
    using RouterUnitFactory = std::function<std::shared_ptr<Device>()>;
    using LinkFactory = std::function<std::unique_ptr<DeviceLink>(std::shared_ptr<Device>)>;

    DeviceManager(std::shared_ptr<Logger> logger, std::shared_ptr<DeviceCountStore> device_count,
                  std::uint32_t router_serial, RouterUnitFactory make_router_unit,
                  LinkFactory make_link);
    ~DeviceManager();
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    // Once, right after construction: registers the router unit when the stored count is 0.
    void start();
    // DeviceCountChanged: 0 registers the router unit, anything else deregisters it.
    void set_self_registered(std::uint8_t count);
    // One pass of every device's work; errors other than EAGAIN are logged.
    void process_all(float elapsed_seconds);

    bool has_device(std::uint32_t serial) const;
    std::size_t device_count() const;

private:
    struct Entry {
        std::shared_ptr<Device> device;
        std::unique_ptr<DeviceLink> link;
    };

    void register_self();
    void deregister_self();

    std::shared_ptr<Logger> logger_;
    std::shared_ptr<DeviceCountStore> device_count_;
    const std::uint32_t router_serial_;
    RouterUnitFactory make_router_unit_;
    LinkFactory make_link_;
    mutable std::recursive_mutex mutex_;
    std::unordered_map<std::uint32_t, Entry> devices_;
    // Reused by process_all so that a device leaving the table mid-pass stays alive until its
    // turn is over.
    std::vector<std::shared_ptr<Device>> pass_;
};

}  // namespace voxapp
