#include "cameras/camera.hpp"

#include <utility>

namespace voxapp {

Camera Camera::create(const Uuid& id, const MacAddress& mac, const Ipv4Address& ip) {
    Camera camera(CameraSummary{id, mac, ip, CameraStatus::Discovered}, std::nullopt);
    camera.events_.emplace_back(CameraDiscovered{id, mac, ip});
    return camera;
}

Camera Camera::restore(const CameraSummary& summary, std::optional<CameraCredential> credential) {
    return Camera(summary, std::move(credential));
}

Status Camera::set_credentials(const CameraCredential& credential) {
    if (credential_ && *credential_ == credential) {
        return {};
    }
    credential_ = credential;
    events_.emplace_back(CameraCredentialsSet{id(), credential.user_name, credential.password});
    return {};
}

Status Camera::change_ip(const Ipv4Address& ip) {
    if (summary_.ip == ip) {
        return {};
    }
    summary_.ip = ip;
    events_.emplace_back(CameraIpChanged{id(), ip});
    return {};
}

Status Camera::go_online() {
    if (summary_.status != CameraStatus::Online) {
        summary_.status = CameraStatus::Online;
        events_.emplace_back(CameraWentOnline{id()});
    }
    return {};
}

Status Camera::go_offline() {
    switch (summary_.status) {
    case CameraStatus::Offline:
        return {};
    case CameraStatus::Discovered:
        return Error::fixed("Cannot go offline, camera is discovered");
    case CameraStatus::Online:
    case CameraStatus::InvalidCredentials:
        break;
    }
    summary_.status = CameraStatus::Offline;
    events_.emplace_back(CameraWentOffline{id()});
    return {};
}

Status Camera::invalidate_credentials() {
    if (summary_.status == CameraStatus::Discovered) {
        return Error::fixed("Cannot invalidate credentials, camera is discovered");
    }
    summary_.status = CameraStatus::InvalidCredentials;
    events_.emplace_back(CameraCredentialsInvalidated{id()});
    return {};
}

Status Camera::bootstrap() {
    if (summary_.status != CameraStatus::Online) {
        return Error::fixed("Cannot bootstrap camera that is not online");
    }
    events_.emplace_back(CameraProvisioned{id()});
    return {};
}

Status Camera::reset_provisioning() {
    events_.emplace_back(CameraProvisioningFailed{id()});
    return {};
}

Result<CameraCredential> Camera::credentials() const {
    if (!credential_) {
        return Error::fixed("Camera credentials not set");
    }
    return *credential_;
}

std::vector<CameraEvent> Camera::take_events() {
    return std::exchange(events_, {});
}

}  // namespace voxapp
