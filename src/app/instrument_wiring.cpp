#include "app/composition_root.hpp"
#include "app/fatal.hpp"
#include "app/wiring.hpp"
#include "core/timing_overrides.hpp"
#include "instruments/netlink_watcher.hpp"
#include "server/router_unit.hpp"
#include "system/events/events.hpp"

namespace voxapp {

namespace {

// The kernel's uevents; kept by the registry so the watcher lives as long as the loop.
struct InstrumentRegistrations {
    std::unique_ptr<NetlinkWatcher> netlink_watcher;
};

// Binds the uevent socket (once). It must be bound before the start-up scan: an instrument
// plugged in between would otherwise be announced to nobody and stay unseen until replugged.
// Its messages wait in the socket until the loop serves it.
std::shared_ptr<InstrumentRegistrations> instrument_registrations(CompositionRoot& root) {
    return root.registry().get<InstrumentRegistrations>([&root] {
        auto made = std::make_shared<InstrumentRegistrations>();
        made->netlink_watcher = require(NetlinkWatcher::create(root.event_dispatcher()),
                                        "App::System::Hardware::NetlinkWatcher");
        return made;
    });
}

DeviceManager::Instruments instrument_support(CompositionRoot& root,
                                              std::shared_ptr<SerialDeviceTracker> tracker) {
    DeviceManager::Instruments instruments;
    instruments.tracker = std::move(tracker);
    // The loop outlives the manager: it was created first, and the registry destroys in
    // reverse order.
    instruments.event_loop = root.event_loop().get();
    // Waits that tests shorten through the timing seam; the defaults are the production values.
    InstrumentTiming timing;
    timing.basic = timing_or("instrument_reply_basic", timing.basic);
    timing.model = timing_or("instrument_reply_model", timing.model);
    timing.long_command = timing_or("instrument_reply_long", timing.long_command);
    instruments.retry_period = timing_or("instrument_retry", instruments.retry_period);
    InstrumentProxy::Services services{root.gps_source(), root.device_count_store(),
                                       root.unit_request_handler()};
    auto logger = root.logger();
    instruments.make_instrument = [logger, services, timing](SerialDevice port,
                                                             const InstrumentIdentity& identity) {
        return make_instrument_proxy(std::move(port), identity.unit_type, identity.serial_number,
                                     logger, services, timing);
    };
    return instruments;
}

}  // namespace

std::shared_ptr<DeviceCountStore> CompositionRoot::device_count_store() {
    return registry_.get<DeviceCountStore>([this] {
        auto dispatcher = event_dispatcher();
        return std::make_shared<DeviceCountStore>(
            context_.application_directory() + "/numberOfDevices", dispatcher);
    });
}

std::shared_ptr<SerialDeviceTracker> CompositionRoot::serial_device_tracker() {
    return registry_.get<SerialDeviceTracker>(
        [this] { return std::make_shared<SerialDeviceTracker>(logger()); });
}

std::shared_ptr<DeviceManager> CompositionRoot::device_manager() {
    return registry_.get<DeviceManager>([this] {
        auto logger = this->logger();
        auto count = device_count_store();
        const std::uint32_t serial = router_serial_number();
        RouterUnit::Services services{gps_source(), storage_lister(), time_zone_service(),
                                      unit_request_handler()};
        const VersionInfo version = context_.settings().version;
        const Settings& settings = context_.settings();
        auto factories = make_link_factories(*this);
        auto tracker = serial_device_tracker();
        auto manager = std::make_shared<DeviceManager>(
            logger, count, serial,
            [serial, version, logger, services] {
                return std::make_shared<RouterUnit>(serial, version, logger, services);
            },
            [&settings, logger, factories](std::shared_ptr<Device> device) {
                return std::make_unique<DeviceLink>(std::move(device), settings, logger, factories);
            },
            instrument_support(*this, tracker));
        // The tracker lives in the registry as long as the manager; a weak reference keeps the
        // two from owning each other.
        std::weak_ptr<DeviceManager> weak = manager;
        tracker->set_added_callback([weak](const std::string& name) {
            if (auto locked = weak.lock()) {
                locked->on_serial_added(name);
            }
        });
        tracker->set_removed_callback([weak](const std::string& name) {
            if (auto locked = weak.lock()) {
                locked->on_serial_removed(name);
            }
        });
        (void)instrument_registrations(*this);
        manager->start();
        return manager;
    });
}

void subscribe_instruments(CompositionRoot& root) {
    auto dispatcher = root.event_dispatcher();
    std::shared_ptr<SerialDeviceTracker> tracker = root.serial_device_tracker();
    dispatcher->subscribe<SerialDeviceConnected>([tracker](const SerialDeviceConnected& event) {
        tracker->on_connected(event.device_name);
    });
    dispatcher->subscribe<SerialDeviceDisconnected>(
        [tracker](const SerialDeviceDisconnected& event) {
            tracker->on_disconnected(event.device_name);
        });
    // The manager holds the dispatcher through its count store: a weak reference breaks the
    // cycle so both are destroyed at exit.
    std::weak_ptr<DeviceManager> manager = root.device_manager();
    dispatcher->subscribe<DeviceCountChanged>([manager](const DeviceCountChanged& event) {
        if (auto locked = manager.lock()) {
            locked->set_self_registered(event.count);
        }
    });
}

void register_instruments(CompositionRoot& root, EventLoop& loop) {
    (void)loop.add(*instrument_registrations(root)->netlink_watcher);
}

}  // namespace voxapp
