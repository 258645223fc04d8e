#include "app/composition_root.hpp"
#include "app/fatal.hpp"
#include "app/link_components.hpp"
#include "app/wiring.hpp"
#include "core/console.hpp"
#include "server/camera_directory.hpp"
#include "server/qm208_serial_number_service.hpp"
#include "system/events/events.hpp"

namespace voxapp {

namespace {

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
            if (camera.status == CameraStatus::Discovered ||
                camera.status == CameraStatus::Online) {
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

}  // namespace

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

DeviceLink::Factories make_link_factories(CompositionRoot& root) {
    DeviceLink::Factories factories;
    auto gps = root.gps_source();
    factories.gps_tracker = [gps](GpsCommandSink& sink, std::shared_ptr<Logger> logger) {
        return std::make_shared<GpsTrackerComponent>(sink, gps, std::move(logger));
    };
    // One cache for the process: every connection with the same CA file shares its context.
    auto contexts = root.registry().get<TlsContextCache>(
        [] { return std::make_shared<TlsContextCache>(print_console_message); });
    factories.connection = [contexts](const ServerEndpoint& endpoint,
                                      std::shared_ptr<Logger> logger, RemoteLinkHandler& handler) {
        return make_server_connection(*contexts, endpoint, std::move(logger), handler);
    };
    // Commands reach the devices on the connections' threads; the main loop must wake for them.
    std::shared_ptr<EventLoop> loop = root.event_loop();
    factories.work_queued = [loop] { loop->wake(); };
    return factories;
}

}  // namespace voxapp
