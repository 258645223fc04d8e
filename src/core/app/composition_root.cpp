#include "core/app/composition_root.hpp"

#include "core/app/fatal.hpp"
#include "core/app/link_components.hpp"
#include "core/console.hpp"
#include "core/timing_overrides.hpp"
#include "instruments/netlink_watcher.hpp"
#include "platform/gps_receiver.hpp"
#include "platform/mount_table_storage_lister.hpp"
#include "platform/mount_table_watcher.hpp"
#include "platform/system_time_zone_monitor.hpp"
#include "platform/time_zone_table.hpp"
#include "platform/uci_time_zone_backend.hpp"
#include "server/qm208_serial_number_service.hpp"
#include "server/router_unit.hpp"
#include "system/events/event_logger.hpp"
#include "system/events/events.hpp"

namespace voxapp {

namespace {

// Registrations the event loop serves; kept by the registry so they live as long as the loop.
struct LoopRegistrations {
    std::unique_ptr<NetlinkWatcher> netlink_watcher;
    std::unique_ptr<MountTableWatcher> mount_table_watcher;
    std::unique_ptr<SystemTimeZoneMonitor> time_zone_monitor;
};

// The camera side of a router without camera support yet.
struct NoCameras {
    std::shared_ptr<CameraDirectory> directory = std::make_shared<EmptyCameraDirectory>();
};

// Recording requests cannot be placed without cameras; the directory above is always empty,
// so this is never reached.
class NoRecordings : public RecordingRequester {
public:
    Status request_recording(const Uuid&, std::uint32_t, const UnitIdentity&,
                             const TimeRange&) override {
        return Error::fixed("No recording service");
    }
};

}  // namespace

std::shared_ptr<Application> CompositionRoot::application() {
    return registry_.get<Application>([this] {
        auto manager = device_manager();
        auto logger = this->logger();
        subscribe_all();
        auto loop = event_loop();
        register_with_event_loop();
        const Settings& settings = context_.settings();
        auto application = std::make_shared<Application>(
            logger, *loop, [manager](float elapsed) { return manager->process_all(elapsed); },
            Application::Heartbeat{settings.heartbeat_path, settings.heartbeat_interval});
        application->install_signal_handlers();
        return application;
    });
}

std::shared_ptr<EventDispatcher> CompositionRoot::event_dispatcher() {
    return registry_.get<EventDispatcher>([] {
        return std::shared_ptr<EventDispatcher>(
            require(EventDispatcher::create(), "App::System::Events::EventDispatcher"));
    });
}

std::shared_ptr<EventLoop> CompositionRoot::event_loop() {
    return registry_.get<EventLoop>([] {
        return std::make_shared<EventLoop>(
            require(EventLoop::create(), "App::System::IO::EventLoop"));
    });
}

std::shared_ptr<StorageLister> CompositionRoot::storage_lister() {
    return registry_.get<StorageLister>([] { return std::make_shared<MountTableStorageLister>(); });
}

const std::string& CompositionRoot::first_usb_mount_point() {
    if (!first_usb_mount_point_) {
        auto storages = storage_lister()->list_by_kind(StorageKind::USB);
        if (!storages) {
            logger()->error("Failed to list mounted storages: " +
                            std::to_string(storages.error().code()));
        }
        first_usb_mount_point_ =
            storages && !storages->empty() ? storages->front().mount_point : std::string();
    }
    return *first_usb_mount_point_;
}

std::shared_ptr<StorageSpaceManager> CompositionRoot::storage_space_manager() {
    return registry_.get<StorageSpaceManager>([this] {
        const std::string& usb = first_usb_mount_point();
        return std::make_shared<StorageSpaceManager>(usb.empty() ? "" : usb + "/camera", logger());
    });
}

std::shared_ptr<TimeZoneService> CompositionRoot::time_zone_service() {
    return registry_.get<TimeZoneService>([this] {
        auto loop = event_loop();
        std::shared_ptr<TimeZoneBackend> backend(
            require(UciTimeZoneBackend::create(
                        *loop, load_time_zone_table(context_.settings().timezones_path), logger()),
                    "UciTimeZoneBackend::create"));
        return std::shared_ptr<TimeZoneService>(require(
            TimeZoneService::create(backend, event_dispatcher()), "TimeZoneService::create"));
    });
}

std::shared_ptr<GpsSource> CompositionRoot::gps_source() {
    return registry_.get<GpsSource>([this] {
        // The process's one bus connection; null when ubus is unreachable, and handed on all
        // the same (every read then fails as a bus error).
        auto bus = registry_.get<ubus_context>([] { return connect_ubus(); });
        return require(GpsSource::create(make_gps_receiver(bus)), "GpsSource::create");
    });
}

std::shared_ptr<InMemoryClientStore> CompositionRoot::client_store() {
    return registry_.get<InMemoryClientStore>(
        [] { return require(InMemoryClientStore::create(), "InMemoryClientStore::create"); });
}

std::shared_ptr<ClientService> CompositionRoot::client_service() {
    return registry_.get<ClientService>([this] {
        auto dispatcher = event_dispatcher();
        return require(ClientService::create(dispatcher, client_store()), "ClientService::create");
    });
}

std::uint32_t CompositionRoot::router_serial_number() {
    if (!router_serial_) {
        router_serial_ = require(Qm208SerialNumberService::get_qm208_serial_number(),
                                 "Qm208SerialNumberService::get_qm208_serial_number");
    }
    return *router_serial_;
}

std::shared_ptr<UnitRequestHandler> CompositionRoot::unit_request_handler() {
    return registry_.get<UnitRequestHandler>([this] {
        auto clients = client_service();
        auto cameras = registry_.get<NoCameras>([] { return std::make_shared<NoCameras>(); });
        return std::make_shared<UnitRequestHandler>(
            router_serial_number(), context_.settings().version, clients, cameras->directory,
            std::make_shared<NoRecordings>(), logger());
    });
}

std::shared_ptr<DeviceCountStore> CompositionRoot::device_count_store() {
    return registry_.get<DeviceCountStore>([this] {
        auto dispatcher = event_dispatcher();
        return std::make_shared<DeviceCountStore>(
            context_.application_directory() + "/numberOfDevices", dispatcher);
    });
}

DeviceLink::Factories CompositionRoot::link_factories() {
    DeviceLink::Factories factories;
    auto gps = gps_source();
    factories.gps_tracker = [gps](GpsCommandSink& sink, std::shared_ptr<Logger> logger) {
        return std::make_shared<GpsTrackerComponent>(sink, gps, std::move(logger));
    };
    // One cache for the process: every connection with the same CA file shares its context.
    auto contexts = registry_.get<TlsContextCache>(
        [] { return std::make_shared<TlsContextCache>(print_console_message); });
    factories.connection = [contexts](const ServerEndpoint& endpoint,
                                      std::shared_ptr<Logger> logger, RemoteLinkHandler& handler) {
        return make_server_connection(*contexts, endpoint, std::move(logger), handler);
    };
    // Commands reach the devices on the connections' threads; the main loop must wake for them.
    std::shared_ptr<EventLoop> loop = event_loop();
    factories.work_queued = [loop] { loop->wake(); };
    return factories;
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
        auto factories = link_factories();
        auto tracker = serial_device_tracker();
        auto manager = std::make_shared<DeviceManager>(
            logger, count, serial,
            [serial, version, logger, services] {
                return std::make_shared<RouterUnit>(serial, version, logger, services);
            },
            [&settings, logger, factories](std::shared_ptr<Device> device) {
                return std::make_unique<DeviceLink>(std::move(device), settings, logger, factories);
            },
            instrument_support(tracker));
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
        manager->start();
        return manager;
    });
}

std::shared_ptr<SerialDeviceTracker> CompositionRoot::serial_device_tracker() {
    return registry_.get<SerialDeviceTracker>(
        [this] { return std::make_shared<SerialDeviceTracker>(logger()); });
}

DeviceManager::Instruments CompositionRoot::instrument_support(
    std::shared_ptr<SerialDeviceTracker> tracker) {
    using std::chrono::milliseconds;
    DeviceManager::Instruments instruments;
    instruments.tracker = std::move(tracker);
    // The loop outlives the manager: it was created first, and the registry destroys in
    // reverse order.
    instruments.event_loop = event_loop().get();
    // Waits that tests shorten through the timing seam; the defaults are the production values.
    InstrumentTiming timing;
    timing.basic = timing_or("instrument_reply_basic", timing.basic);
    timing.model = timing_or("instrument_reply_model", timing.model);
    timing.long_command = timing_or("instrument_reply_long", timing.long_command);
    instruments.retry_period = timing_or("instrument_retry", instruments.retry_period);
    InstrumentProxy::Services services{gps_source(), device_count_store(),
                                       unit_request_handler()};
    auto logger = this->logger();
    instruments.make_instrument = [logger, services, timing](SerialDevice port,
                                                             const InstrumentIdentity& identity) {
        return make_instrument_proxy(std::move(port), identity.unit_type, identity.serial_number,
                                     logger, services, timing);
    };
    return instruments;
}

void CompositionRoot::subscribe_all() {
    if (subscribed_) {
        return;
    }
    subscribed_ = true;
    auto dispatcher = event_dispatcher();
    // Handlers of one event run in subscription order: a mounted USB storage first takes the
    // log file, then is logged, then reaches the services that store data on it.
    std::shared_ptr<FileSink> file_sink = context_.file_sink();
    std::shared_ptr<StorageLister> lister = storage_lister();
    dispatcher->subscribe<StorageMounted>(
        [file_sink](const StorageMounted& event) { file_sink->on_storage_mounted(event.storage); });
    dispatcher->subscribe<StorageUnmounted>([file_sink, lister](const StorageUnmounted& event) {
        file_sink->on_storage_unmounted(event.storage,
                                        [lister] { return usb_mount_points(*lister); });
    });
    subscribe_event_logger(*dispatcher, logger());
    std::shared_ptr<SerialDeviceTracker> tracker = serial_device_tracker();
    dispatcher->subscribe<SerialDeviceConnected>(
        [tracker](const SerialDeviceConnected& event) { tracker->on_connected(event.device_name); });
    dispatcher->subscribe<SerialDeviceDisconnected>([tracker](const SerialDeviceDisconnected& event) {
        tracker->on_disconnected(event.device_name);
    });
    // The manager holds the dispatcher through its count store: a weak reference breaks the
    // cycle so both are destroyed at exit.
    std::weak_ptr<DeviceManager> manager = device_manager();
    dispatcher->subscribe<DeviceCountChanged>([manager](const DeviceCountChanged& event) {
        if (auto locked = manager.lock()) {
            locked->set_self_registered(event.count);
        }
    });
}

void CompositionRoot::register_with_event_loop() {
    if (registered_) {
        return;
    }
    registered_ = true;
    auto loop = event_loop();
    auto registrations = registry_.get<LoopRegistrations>([this] {
        auto made = std::make_shared<LoopRegistrations>();
        made->netlink_watcher = require(NetlinkWatcher::create(event_dispatcher()),
                                        "App::System::Hardware::NetlinkWatcher");
        made->mount_table_watcher =
            require(MountTableWatcher::create(storage_lister(), event_dispatcher()),
                    "App::System::Storage::MountTableWatcher");
        made->time_zone_monitor =
            require(SystemTimeZoneMonitor::create(logger(), time_zone_service()),
                    "SystemTimeZoneMonitor::create");
        return made;
    });
    // A registration that fails leaves that watcher silent; the daemon runs on without it.
    (void)loop->add(*registrations->netlink_watcher);
    (void)loop->add(*registrations->mount_table_watcher);
    (void)loop->add(*registrations->time_zone_monitor);
}

}  // namespace voxapp
