#include <time.h>

#include "app/bus_status.hpp"
#include "app/composition_root.hpp"
#include "app/wiring.hpp"
#include "core/system_paths.hpp"
#include "platform/ubus_connection.hpp"
#include "platform/uci_access.hpp"
#include "system/events/events.hpp"

namespace voxapp {

namespace {

constexpr const char* kObjectName = "voxapp";
constexpr const char* kMethodName = "status";

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void send_camera_event(UbusService& bus, CameraQuery& cameras, const char* id, const Uuid& camera) {
    auto summary = cameras.find_summary_by_id(camera);
    bus.send_event(id, [&](BusMessageWriter& out) {
        out.add_string("id", camera.to_string());
        if (summary) {
            out.add_string("address", summary->ip.to_string());
            out.add_string("mac", summary->mac.to_string());
        }
    });
}

void send_instrument_event(UbusService& bus, const DeviceManager::DeviceView& device, bool added) {
    bus.send_event(added ? "voxapp.instrument.added" : "voxapp.instrument.removed",
                   [&](BusMessageWriter& out) {
                       out.add_int("serial", device.serial);
                       out.add_string("tty", device.tty_path);
                       out.add_int("unit_type", device.unit_type);
                   });
}

// Registered after every service it reports on, so destroyed before them: the bus stops (and lets
// go of the reply's services) while they are all still there.
class BusStop {
public:
    explicit BusStop(std::shared_ptr<UbusService> service) : service_(std::move(service)) {}
    ~BusStop() { service_->stop(); }
    BusStop(const BusStop&) = delete;
    BusStop& operator=(const BusStop&) = delete;

private:
    std::shared_ptr<UbusService> service_;
};

}  // namespace

std::shared_ptr<UbusService> bus_service(CompositionRoot& root) {
    return root.registry().get<UbusService>([&root]() -> std::shared_ptr<UbusService> {
        auto loop = root.event_loop();
        auto service = UbusService::create(*loop, root.logger(), system_path(kUbusSocketPath));
        if (!service) {
            root.logger()->warning("[Ubus] " + service.error().message_text() +
                                   ": no bus object, no bus events, no GPS fix");
            return nullptr;
        }
        return *service;
    });
}

// Handlers hold the bus weakly: it is destroyed before the services that publish.
void subscribe_bus_events(CompositionRoot& root) {
    std::shared_ptr<UbusService> service = bus_service(root);
    if (!service) {
        return;
    }
    std::weak_ptr<UbusService> bus = service;
    std::shared_ptr<CameraQuery> cameras = root.camera_store();
    auto dispatcher = root.event_dispatcher();
    const auto camera_event = [bus, cameras](const char* id) {
        return [bus, cameras, id](const Uuid& camera) {
            if (auto locked = bus.lock()) {
                send_camera_event(*locked, *cameras, id, camera);
            }
        };
    };
    dispatcher->subscribe<CameraWentOnline>(
        [send = camera_event("voxapp.camera.online")](const CameraWentOnline& event) {
            send(event.camera_id);
        });
    dispatcher->subscribe<CameraWentOffline>(
        [send = camera_event("voxapp.camera.offline")](const CameraWentOffline& event) {
            send(event.camera_id);
        });
    dispatcher->subscribe<CameraCredentialsInvalidated>(
        [send = camera_event("voxapp.camera.invalid_credentials")](
            const CameraCredentialsInvalidated& event) { send(event.camera_id); });

    root.device_manager()->set_instrument_observer(
        [bus](const DeviceManager::DeviceView& device, bool added) {
            if (auto locked = bus.lock()) {
                send_instrument_event(*locked, device, added);
            }
        });
    root.recording_service()->set_outcome_observer(
        [bus](const TransferRecordingService::Outcome& outcome) {
            auto locked = bus.lock();
            if (!locked) {
                return;
            }
            locked->send_event(
                outcome.uploaded ? "voxapp.recording.uploaded" : "voxapp.recording.given_up",
                [&](BusMessageWriter& out) {
                    out.add_string("file", outcome.file);
                    out.add_int("unit", outcome.client_id);
                });
        });
}

void register_bus(CompositionRoot& root, EventLoop& /*loop*/) {
    std::shared_ptr<UbusService> service = bus_service(root);
    if (!service) {
        return;
    }
    BusStatusSources sources;
    sources.settings = &root.context().settings();
    sources.started_at = system_now();
    sources.started_monotonic_ns = monotonic_ns();
    sources.device_name = [] {
        auto name = uci_get_string("system.@system[0].devicename");
        return name ? *name : std::string();
    };
    sources.devices = root.device_manager();
    sources.cameras = root.camera_store();
    sources.recordings = root.recording_service();
    sources.gps = root.gps_source();
    service->set_object(kObjectName, kMethodName, [sources](BusMessageWriter& out) {
        write_bus_status(out, sources, system_now(), monotonic_ns());
    });
    service->start();
    root.registry().get<BusStop>([&] { return std::make_shared<BusStop>(service); });
}

}  // namespace voxapp
