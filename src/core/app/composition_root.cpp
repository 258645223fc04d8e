#include "core/app/composition_root.hpp"

#include "core/app/fatal.hpp"
#include "core/app/link_components.hpp"
#include "cameras/camera_credentials_provider.hpp"
#include "cameras/camera_health_monitor.hpp"
#include "cameras/http_camera_driver.hpp"
#include "cameras/sadp_discovery.hpp"
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
#include "system/io/timer.hpp"
#include "core/system_paths.hpp"
#include "recordings/curl_ftp_file_publisher.hpp"
#include "recordings/open_rtsp_recording_downloader.hpp"
#include "recordings/repository_camera_lookup.hpp"

namespace voxapp {

namespace {

// Registrations the event loop serves; kept by the registry so they live as long as the loop.
struct LoopRegistrations {
    std::unique_ptr<NetlinkWatcher> netlink_watcher;
    std::unique_ptr<MountTableWatcher> mount_table_watcher;
    std::unique_ptr<SystemTimeZoneMonitor> time_zone_monitor;
    std::unique_ptr<SadpDiscovery> discovery;
    std::shared_ptr<CameraHealthMonitor> health_monitor;
    std::vector<Timer> timers;
};

// The unit requests' view of the camera store.
class StoreCameraDirectory final : public CameraDirectory {
public:
    explicit StoreCameraDirectory(std::shared_ptr<CameraQuery> cameras)
        : cameras_(std::move(cameras)) {}

    Result<bool> has_discovered_or_online_camera() const override {
        auto all = cameras_->list_all();
        if (!all) {
            return all.error();
        }
        for (const CameraSummary& camera : *all) {
            if (camera.status == CameraStatus::Discovered || camera.status == CameraStatus::Online) {
                return true;
            }
        }
        return false;
    }

    Result<std::optional<Uuid>> first_online_camera() const override {
        auto online = cameras_->list_by_status(CameraStatus::Online);
        if (!online) {
            return online.error();
        }
        if (online->empty()) {
            return std::optional<Uuid>();
        }
        return std::optional<Uuid>(online->front().id);
    }

private:
    std::shared_ptr<CameraQuery> cameras_;
};

void add_camera_timers(LoopRegistrations& registrations) {
    using std::chrono::milliseconds;
    // Periods that tests shorten through the timing seam; the defaults are the production values.
    const auto period = [](const char* name, milliseconds fallback) {
        return static_cast<std::int64_t>(timing_or(name, fallback).count());
    };
    const auto add = [&registrations](const char* name, std::int64_t first, std::int64_t every,
                                      Timer::Callback callback) {
        registrations.timers.push_back(require(Timer::create(first, every, std::move(callback)), name));
    };
    SadpDiscovery* discovery = registrations.discovery.get();
    const std::int64_t probe = period("camera_probe", milliseconds(60000));
    add("sdap_discovery_probe_timer", 0, probe, [discovery] { discovery->probe(); });
    std::shared_ptr<CameraHealthMonitor> monitor = registrations.health_monitor;
    const std::int64_t check = period("camera_check", milliseconds(120000));
    add("check_connection_timer", check, check, [monitor] { monitor->check_connections(); });
    const std::int64_t retry = period("camera_credentials_retry", milliseconds(300000));
    add("retry_credentials_timer", retry, retry, [monitor] { monitor->retry_credentials(); });
    const std::int64_t limits = period("camera_limits", milliseconds(60000));
    add("enforce_streaming_limits_timer", limits, limits,
        [monitor] { monitor->enforce_streaming_limits(); });
}

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

std::shared_ptr<TimeZoneBackend> CompositionRoot::time_zone_backend() {
    return registry_.get<TimeZoneBackend>([this] {
        auto loop = event_loop();
        return std::shared_ptr<TimeZoneBackend>(
            require(UciTimeZoneBackend::create(
                        *loop, load_time_zone_table(context_.settings().timezones_path), logger()),
                    "UciTimeZoneBackend::create"));
    });
}

std::shared_ptr<TimeZoneService> CompositionRoot::time_zone_service() {
    return registry_.get<TimeZoneService>([this] {
        return std::shared_ptr<TimeZoneService>(
            require(TimeZoneService::create(time_zone_backend(), event_dispatcher()),
                    "TimeZoneService::create"));
    });
}

std::shared_ptr<UuidGenerator> CompositionRoot::uuid_generator() {
    return registry_.get<UuidGenerator>([] { return std::make_shared<RandomUuidGenerator>(); });
}

std::shared_ptr<InMemoryCameraStore> CompositionRoot::camera_store() {
    return registry_.get<InMemoryCameraStore>(
        [this] { return std::make_shared<InMemoryCameraStore>(uuid_generator()); });
}

std::shared_ptr<AsyncHttpClientUsingCurl> CompositionRoot::http_client() {
    return registry_.get<AsyncHttpClientUsingCurl>([this] {
        return std::shared_ptr<AsyncHttpClientUsingCurl>(
            require(AsyncHttpClientUsingCurl::create(*event_loop()), "AsyncHttpClientUsingCurl"));
    });
}

std::shared_ptr<RecordingDownloader> CompositionRoot::recording_downloader() {
    return registry_.get<RecordingDownloader>([this] {
        return std::shared_ptr<RecordingDownloader>(
            require(OpenRtspRecordingDownloader::create(*event_loop(), logger()),
                    "RecordingDownloader"));
    });
}

std::shared_ptr<FilePublisher> CompositionRoot::file_publisher() {
    return registry_.get<FilePublisher>([this] {
        return std::shared_ptr<FilePublisher>(
            require(CurlFtpFilePublisher::create(client_service(), *event_loop(), logger(),
                                                 context_.settings().ftp_address),
                    "CurlFtpFilePublisher::create"));
    });
}

std::shared_ptr<TransferRecordingService> CompositionRoot::recording_service() {
    return registry_.get<TransferRecordingService>([this] {
        const std::string& usb = first_usb_mount_point();
        TransferRecordingService::Collaborators collaborators{
            std::make_shared<RepositoryCameraLookup>(camera_store()),
            camera_driver_factory(),
            file_publisher(),
            storage_space_manager(),
            std::make_shared<VideoIdCounter>(system_path("/root/app/lastVideoId")),
            storage_lister(),
            logger()};
        TransferRecordingService::Timing timing;
        timing.retry_delay = timing_or("recording_retry", timing.retry_delay);
        return require(TransferRecordingService::create(
                           std::move(collaborators),
                           usb.empty() ? system_path("/tmp/camera") : usb + "/camera",
                           !usb.empty(), timing),
                       "TransferRecordingService::create");
    });
}

std::shared_ptr<CameraDriverFactory> CompositionRoot::camera_driver_factory() {
    return registry_.get<CameraDriverFactory>([this] {
        auto client = http_client();
        auto zones = time_zone_backend();
        auto downloader = recording_downloader();
        // The factory holds references; the registry keeps the three alive longer.
        return std::make_shared<HttpCameraDriverFactory>(*client, *zones, *downloader);
    });
}

std::shared_ptr<CameraService> CompositionRoot::camera_service() {
    return registry_.get<CameraService>([this] {
        std::shared_ptr<CameraCredentialsProvider> credentials(
            require(InMemoryCameraCredentialsProvider::create(context_.settings().camera_credentials),
                    "InMemoryCameraCredentialsProvider::create"));
        auto store = camera_store();
        return std::make_shared<CameraService>(event_dispatcher(), store, store,
                                               camera_driver_factory(), credentials);
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
        auto cameras = std::make_shared<StoreCameraDirectory>(camera_store());
        return std::make_shared<UnitRequestHandler>(router_serial_number(),
                                                    context_.settings().version, clients, cameras,
                                                    recording_service(), logger());
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
    subscribe_cameras();
    subscribe_recordings();
}

// After the log file and the event logger, the recordings follow a storage coming or going.
void CompositionRoot::subscribe_recordings() {
    auto dispatcher = event_dispatcher();
    std::weak_ptr<TransferRecordingService> recordings = recording_service();
    dispatcher->subscribe<StorageMounted>([recordings](const StorageMounted& event) {
        if (auto service = recordings.lock()) {
            service->on_storage_mounted(event.storage);
        }
    });
    dispatcher->subscribe<StorageUnmounted>([recordings](const StorageUnmounted& event) {
        if (auto service = recordings.lock()) {
            service->on_storage_unmounted(event.storage);
        }
    });
}

// The service publishes through the dispatcher that holds these handlers: weak references keep
// the two from owning each other. Errors of the operations are dropped; the health monitor's
// timers retry.
void CompositionRoot::subscribe_cameras() {
    auto dispatcher = event_dispatcher();
    std::weak_ptr<CameraService> cameras = camera_service();
    std::weak_ptr<TimeZoneService> zones = time_zone_service();
    dispatcher->subscribe<CameraDiscovered>([cameras](const CameraDiscovered& event) {
        if (auto service = cameras.lock()) {
            (void)service->probe_credentials(event.camera_id.to_string());
        }
    });
    dispatcher->subscribe<CameraCredentialsSet>([cameras](const CameraCredentialsSet& event) {
        if (auto service = cameras.lock()) {
            (void)service->verify(event.camera_id.to_string());
        }
    });
    dispatcher->subscribe<CameraWentOnline>([cameras, zones](const CameraWentOnline& event) {
        auto service = cameras.lock();
        auto zone_service = zones.lock();
        if (!service || !zone_service) {
            return;
        }
        if (auto zone = zone_service->current_time_zone()) {
            (void)service->push_time_zone(event.camera_id.to_string(), *zone);
        }
    });
    dispatcher->subscribe<CameraWentOnline>([cameras](const CameraWentOnline& event) {
        if (auto service = cameras.lock()) {
            (void)service->provision(event.camera_id.to_string());
        }
    });
    dispatcher->subscribe<TimeZoneChanged>([cameras](const TimeZoneChanged& event) {
        auto service = cameras.lock();
        if (!service) {
            return;
        }
        auto online = service->list_by_status(CameraStatus::Online);
        if (!online) {
            return;
        }
        for (const CameraSummary& camera : *online) {
            (void)service->push_time_zone(camera.id.to_string(), event.time_zone);
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
        auto cameras = camera_service();
        made->discovery = require(SadpDiscovery::create(logger(), cameras, uuid_generator()),
                                  "SadpDiscovery::create");
        made->health_monitor = std::make_shared<CameraHealthMonitor>(cameras, logger());
        return made;
    });
    // A registration that fails leaves that watcher silent; the daemon runs on without it.
    (void)loop->add(*registrations->netlink_watcher);
    (void)loop->add(*registrations->mount_table_watcher);
    (void)loop->add(*registrations->time_zone_monitor);
    (void)loop->add(*registrations->discovery);
    add_camera_timers(*registrations);
    std::weak_ptr<TransferRecordingService> recordings = recording_service();
    registrations->timers.push_back(require(Timer::create(500, 500,
                                                          [recordings] {
                                                              if (auto service = recordings.lock()) {
                                                                  service->tick();
                                                              }
                                                          }),
                                            "recording_transfer_service_timer"));
    for (Timer& timer : registrations->timers) {
        (void)loop->add(timer);
    }
}

}  // namespace voxapp
