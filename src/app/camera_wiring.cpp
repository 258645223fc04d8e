#include "app/composition_root.hpp"
#include "app/fatal.hpp"
#include "app/wiring.hpp"
#include "cameras/camera_credentials_provider.hpp"
#include "cameras/camera_health_monitor.hpp"
#include "cameras/http_camera_driver.hpp"
#include "cameras/sadp_discovery.hpp"
#include "core/timing_overrides.hpp"
#include "system/events/events.hpp"
#include "system/io/timer.hpp"

namespace voxapp {

namespace {

// Discovery and the health timers; kept by the registry so they live as long as the loop. The
// timers go first, before the discovery and the monitor they call.
struct CameraRegistrations {
    std::unique_ptr<SadpDiscovery> discovery;
    std::shared_ptr<CameraHealthMonitor> health_monitor;
    std::vector<Timer> timers;
};

void add_camera_timers(CameraRegistrations& registrations) {
    using std::chrono::milliseconds;
    // Periods that tests shorten through the timing seam; the defaults are the production values.
    const auto period = [](const char* name, milliseconds fallback) {
        return static_cast<std::int64_t>(timing_or(name, fallback).count());
    };
    const auto add = [&registrations](const char* name, std::int64_t first, std::int64_t every,
                                      Timer::Callback callback) {
        registrations.timers.push_back(
            require(Timer::create(first, every, std::move(callback)), name));
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

std::shared_ptr<CameraDriverFactory> CompositionRoot::camera_driver_factory() {
    return registry_.get<CameraDriverFactory>([this] {
        auto client = http_client();
        auto zones = time_zone_backend();
        auto downloader = recording_downloader();
        // Limits that tests shorten through the timing seam; the defaults are the production
        // values. libcurl counts a stall in whole seconds.
        CameraRequestLimits limits;
        limits.connect = timing_or("camera_connect", limits.connect);
        limits.stall = std::chrono::ceil<std::chrono::seconds>(timing_or(
            "camera_stall", std::chrono::duration_cast<std::chrono::milliseconds>(limits.stall)));
        limits.overall = timing_or("camera_request", limits.overall);
        limits.device_info = timing_or("camera_device_info", limits.device_info);
        // The factory holds references; the registry keeps the three alive longer.
        return std::make_shared<HttpCameraDriverFactory>(*client, *zones, *downloader,
                                                         HttpCameraDriverFactory::kProvisioningFile,
                                                         limits, logger());
    });
}

std::shared_ptr<CameraService> CompositionRoot::camera_service() {
    return registry_.get<CameraService>([this] {
        std::shared_ptr<CameraCredentialsProvider> credentials(require(
            InMemoryCameraCredentialsProvider::create(context_.settings().camera_credentials),
            "InMemoryCameraCredentialsProvider::create"));
        auto store = camera_store();
        return std::make_shared<CameraService>(event_dispatcher(), store, store,
                                               camera_driver_factory(), credentials);
    });
}

// The service publishes through the dispatcher that holds these handlers: weak references keep
// the two from owning each other. Errors of the operations are dropped; the health monitor's
// timers retry.
void subscribe_cameras(CompositionRoot& root) {
    auto dispatcher = root.event_dispatcher();
    std::weak_ptr<CameraService> cameras = root.camera_service();
    std::weak_ptr<TimeZoneService> zones = root.time_zone_service();
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

void register_cameras(CompositionRoot& root, EventLoop& loop) {
    auto registrations = root.registry().get<CameraRegistrations>([&root] {
        auto made = std::make_shared<CameraRegistrations>();
        auto cameras = root.camera_service();
        made->discovery =
            require(SadpDiscovery::create(root.logger(), cameras, root.uuid_generator()),
                    "SadpDiscovery::create");
        made->health_monitor = std::make_shared<CameraHealthMonitor>(cameras, root.logger());
        add_camera_timers(*made);
        return made;
    });
    (void)loop.add(*registrations->discovery);
    for (Timer& timer : registrations->timers) {
        (void)loop.add(timer);
    }
}

}  // namespace voxapp
