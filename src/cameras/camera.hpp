#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "core/ipv4_address.hpp"
#include "core/mac_address.hpp"
#include "core/result.hpp"
#include "core/settings.hpp"
#include "core/uuid.hpp"
#include "system/events/camera_events.hpp"

namespace voxapp {

enum class CameraStatus : std::uint8_t {
    Discovered = 0,
    Online = 1,
    Offline = 2,
    InvalidCredentials = 3,
};

using CameraEvent = std::variant<CameraDiscovered, CameraCredentialsSet, CameraIpChanged,
                                 CameraWentOnline, CameraWentOffline, CameraCredentialsInvalidated,
                                 CameraProvisioned, CameraProvisioningFailed>;

// What queries return of a camera: never its credentials.
struct CameraSummary {
    Uuid id;
    MacAddress mac;
    Ipv4Address ip;
    CameraStatus status = CameraStatus::Discovered;
};

// One camera and the rules of its status. Each accepted change appends a domain event; the
// owner saves the camera and then publishes what take_events() hands over. A rejected change
// leaves the camera untouched. A plain value: copies are independent.
class Camera {
public:
    // A new camera: Discovered, no credentials, CameraDiscovered pending.
    static Camera create(const Uuid& id, const MacAddress& mac, const Ipv4Address& ip);
    // A camera as stored, without pending events.
    static Camera restore(const CameraSummary& summary, std::optional<CameraCredential> credential);

    Status set_credentials(const CameraCredential& credential);
    Status change_ip(const Ipv4Address& ip);
    Status go_online();
    Status go_offline();
    Status invalidate_credentials();
    Status bootstrap();
    Status reset_provisioning();

    // Error "Camera credentials not set".
    Result<CameraCredential> credentials() const;
    const std::optional<CameraCredential>& stored_credentials() const { return credential_; }

    const Uuid& id() const { return summary_.id; }
    const MacAddress& mac() const { return summary_.mac; }
    const Ipv4Address& ip() const { return summary_.ip; }
    CameraStatus status() const { return summary_.status; }
    const CameraSummary& summary() const { return summary_; }

    // Moves the pending events out, in the order they were appended.
    std::vector<CameraEvent> take_events();

private:
    Camera(const CameraSummary& summary, std::optional<CameraCredential> credential)
        : summary_(summary), credential_(std::move(credential)) {}

    std::vector<CameraEvent> events_;
    CameraSummary summary_;
    std::optional<CameraCredential> credential_;
};

}  // namespace voxapp
