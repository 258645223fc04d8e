#pragma once

#include <memory>

#include "cameras/camera_repository.hpp"
#include "recordings/camera_lookup.hpp"

namespace voxapp {

// The camera store's repository face as the recording transfer sees it. Only an online camera
// comes with its credentials: one whose address changed is offline until it has proven them at
// the new address, and nothing of a recording is asked of it meanwhile.
class RepositoryCameraLookup final : public CameraLookup {
public:
    explicit RepositoryCameraLookup(std::shared_ptr<CameraRepository> cameras)
        : cameras_(std::move(cameras)) {}

    Result<RecordingCamera> find(const Uuid& id) const override {
        return recording_camera(cameras_->find_by_id(id));
    }
    Result<RecordingCamera> find_by_mac(const MacAddress& mac) const override {
        return recording_camera(cameras_->find_by_mac(mac));
    }

private:
    static Result<RecordingCamera> recording_camera(const Result<Camera>& camera) {
        if (!camera) {
            return camera.error();
        }
        auto credential = camera->credentials();
        const bool usable = credential && camera->status() == CameraStatus::Online;
        return RecordingCamera{camera->ip(), usable ? std::optional(*credential) : std::nullopt,
                               camera->mac()};
    }

    std::shared_ptr<CameraRepository> cameras_;
};

}  // namespace voxapp
