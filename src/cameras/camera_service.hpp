#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cameras/camera.hpp"
#include "cameras/camera_credentials_provider.hpp"
#include "cameras/camera_driver.hpp"
#include "cameras/camera_repository.hpp"
#include "system/events/event_dispatcher.hpp"

namespace voxapp {

// Every change to a camera, and the requests to cameras that follow from the changes.
//
// Changes follow one pattern: load the camera, apply the operation (a rejection is returned
// and nothing is saved), save it, then publish its events in order. The asynchronous
// operations (verify, probe_credentials, provision, push_time_zone, enforce_streaming_limits)
// return once the request is started, or at once when the same kind of request for that camera
// is already running; their outcomes drive the changes above. Ids arrive as text and are parsed
// first.
//
// Threads: the event loop's only; completions and the handlers of the events it publishes run
// there too, possibly nested inside the call that caused them. Writes no log lines.
class CameraService {
public:
    CameraService(std::shared_ptr<EventDispatcher> dispatcher,
                  std::shared_ptr<CameraRepository> repository, std::shared_ptr<CameraQuery> query,
                  std::shared_ptr<CameraDriverFactory> drivers,
                  std::shared_ptr<CameraCredentialsProvider> credentials);
    ~CameraService();
    CameraService(const CameraService&) = delete;
    CameraService& operator=(const CameraService&) = delete;

    // Registers a camera seen on the LAN, or follows its new address: a camera that moved goes
    // offline and is verified at the new address before it is used again. Error
    // kCameraStoreFull (from the store) for a new MAC when the store is full.
    Status reconcile_discovered(std::string_view mac_text, std::string_view ip_text);

    Status mark_online(std::string_view id);
    Status mark_offline(std::string_view id);
    Status invalidate_credentials(std::string_view id);
    Status mark_provisioned(std::string_view id);
    Status mark_provisioning_failed(std::string_view id);
    Status set_credentials(std::string_view id, const std::string& user_name,
                           const std::string& password);

    Status verify(std::string_view id);
    Status probe_credentials(std::string_view id);
    Status provision(std::string_view id);
    // At most one request per camera; a name given meanwhile is sent next, the latest only.
    Status push_time_zone(std::string_view id, const std::string& zone_name);
    Status enforce_streaming_limits(std::string_view id);

    Result<std::vector<CameraSummary>> list_by_status(CameraStatus status) const {
        return query_->list_by_status(status);
    }
    Result<std::vector<CameraSummary>> list_all() const { return query_->list_all(); }

    // Requests in flight, for tests and diagnostics.
    std::size_t requests_in_flight() const;

private:
    using Key = Uuid::Octets;
    using Requests = std::map<Key, std::unique_ptr<CameraDriver>>;
    struct Probe {
        std::vector<CameraCredential> candidates;
        std::size_t index = 0;
        std::unique_ptr<CameraDriver> driver;
    };
    struct TimeZonePush {
        std::unique_ptr<CameraDriver> driver;
        std::optional<std::string> pending;
    };

    template <typename Operation>
    Status command(std::string_view id_text, Operation operation);
    Status publish_saved(Camera& camera);
    Status follow_move(Camera& camera, const Ipv4Address& ip);
    // The stored camera and a driver for it with its credentials.
    Result<std::unique_ptr<CameraDriver>> driver_for(const Uuid& id);
    void try_next_candidate(const Uuid& id);
    // Starts one request of a kind for a camera unless one is running; `start` sends it on the
    // driver, `finish` gets the outcome once the request's entry is gone.
    template <typename Start, typename Finish>
    Status start_once(Requests& requests, std::string_view id_text, Start start, Finish finish);

    const std::shared_ptr<EventDispatcher> dispatcher_;
    const std::shared_ptr<CameraRepository> repository_;
    const std::shared_ptr<CameraQuery> query_;
    const std::shared_ptr<CameraDriverFactory> drivers_;
    const std::shared_ptr<CameraCredentialsProvider> credentials_;

    Requests verifications_;
    Requests provisionings_;
    Requests limit_checks_;
    std::map<Key, Probe> probes_;
    std::map<Key, TimeZonePush> time_zone_pushes_;
};

}  // namespace voxapp
