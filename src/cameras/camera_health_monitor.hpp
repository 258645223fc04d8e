#pragma once

#include <memory>

#include "cameras/camera_service.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Keeps camera states fresh on timers: re-verifies online and offline cameras, retries
// credentials on cameras without working ones, and re-applies the streaming limits. Each run
// only starts requests through the camera service; a camera whose previous request of the
// same kind is still running is skipped there. Event loop thread only.
class CameraHealthMonitor {
public:
    CameraHealthMonitor(std::shared_ptr<CameraService> cameras, std::shared_ptr<Logger> logger)
        : cameras_(std::move(cameras)), logger_(std::move(logger)) {}

    void check_connections();
    void retry_credentials();
    void enforce_streaming_limits();

private:
    const std::shared_ptr<CameraService> cameras_;
    const std::shared_ptr<Logger> logger_;
};

}  // namespace voxapp
