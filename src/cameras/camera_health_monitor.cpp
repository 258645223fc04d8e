#include "cameras/camera_health_monitor.hpp"

#include <string>
#include <vector>

namespace voxapp {

namespace {

using Summaries = std::vector<CameraSummary>;

// The cameras of one status, or nothing after logging `failure` + the error.
std::optional<Summaries> listed(const CameraService& cameras, CameraStatus status, Logger& logger,
                                const char* failure) {
    auto list = cameras.list_by_status(status);
    if (!list) {
        logger.error(failure + list.error().message_text());
        return std::nullopt;
    }
    return std::move(*list);
}

template <typename Start>
void for_each_camera(const Summaries& cameras, Logger& logger, const char* failure,
                     Start start) {
    for (const CameraSummary& camera : cameras) {
        const std::string id = camera.id.to_string();
        if (Status started = start(id); !started) {
            logger.warning(failure + id + ": " + started.error().message_text());
        }
    }
}

}  // namespace

void CameraHealthMonitor::check_connections() {
    logger_->debug("[CameraHealthMonitor] Checking camera connections...");
    auto online = listed(*cameras_, CameraStatus::Online, *logger_, "Failed to list online cameras: ");
    if (!online) {
        return;
    }
    auto offline =
        listed(*cameras_, CameraStatus::Offline, *logger_, "Failed to list offline cameras: ");
    if (!offline) {
        return;
    }
    const std::size_t count = online->size() + offline->size();
    if (count == 0) {
        return;
    }
    logger_->info("[CameraHealthMonitor] Verifying " + std::to_string(count) + " camera(s)...");
    const auto verify = [this](const std::string& id) { return cameras_->verify(id); };
    for_each_camera(*online, *logger_, "Failed to verify camera: ", verify);
    for_each_camera(*offline, *logger_, "Failed to verify camera: ", verify);
}

void CameraHealthMonitor::retry_credentials() {
    logger_->debug("[CameraHealthMonitor] Retrying camera credentials...");
    auto discovered = listed(*cameras_, CameraStatus::Discovered, *logger_,
                             "Failed to list discovered cameras: ");
    if (!discovered) {
        return;
    }
    auto invalid = listed(*cameras_, CameraStatus::InvalidCredentials, *logger_,
                          "Failed to list invalid credentials cameras: ");
    if (!invalid) {
        return;
    }
    const std::size_t count = discovered->size() + invalid->size();
    if (count == 0) {
        return;
    }
    logger_->info("[CameraHealthMonitor] Probing credentials for " + std::to_string(count) +
                  " camera(s)...");
    const auto probe = [this](const std::string& id) { return cameras_->probe_credentials(id); };
    for_each_camera(*discovered, *logger_, "Failed to probe camera: ", probe);
    for_each_camera(*invalid, *logger_, "Failed to probe camera: ", probe);
}

void CameraHealthMonitor::enforce_streaming_limits() {
    auto online = listed(*cameras_, CameraStatus::Online, *logger_, "Failed to list online cameras: ");
    if (!online || online->empty()) {
        return;
    }
    logger_->info("[CameraHealthMonitor] Enforcing limits for " + std::to_string(online->size()) +
                  " camera(s)...");
    for_each_camera(*online, *logger_, "Failed to enforce limits for camera: ",
                    [this](const std::string& id) { return cameras_->enforce_streaming_limits(id); });
}

}  // namespace voxapp
