#pragma once

#include <memory>

#include "cameras/camera_repository.hpp"
#include "recordings/camera_lookup.hpp"

namespace voxapp {

// The camera store's repository face as the recording transfer sees it.
class RepositoryCameraLookup final : public CameraLookup {
public:
    explicit RepositoryCameraLookup(std::shared_ptr<CameraRepository> cameras)
        : cameras_(std::move(cameras)) {}

    Result<RecordingCamera> find(const Uuid& id) const override {
        auto camera = cameras_->find_by_id(id);
        if (!camera) {
            return camera.error();
        }
        auto credential = camera->credentials();
        return RecordingCamera{camera->ip(),
                               credential ? std::optional(*credential) : std::nullopt};
    }

private:
    std::shared_ptr<CameraRepository> cameras_;
};

}  // namespace voxapp
