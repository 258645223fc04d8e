#pragma once

#include <string_view>
#include <vector>

#include "cameras/camera.hpp"
#include "core/result.hpp"

namespace voxapp {

// Refusal of a camera with a new MAC by a store that holds as many as it may.
inline constexpr std::string_view kCameraStoreFull = "Camera store is full";

// The write side of the camera store.
class CameraRepository {
public:
    virtual ~CameraRepository() = default;
    // Upsert by id. Errors: "Camera with this MAC already exists" when another camera has its
    // MAC; kCameraStoreFull for a new camera when the store is full.
    virtual Status save(const Camera& camera) = 0;
    // A fresh id from the process's generator.
    virtual Result<Uuid> new_id() = 0;
    // Error "Camera not found".
    virtual Result<Camera> find_by_id(const Uuid& id) const = 0;
    virtual Result<Camera> find_by_mac(const MacAddress& mac) const = 0;
};

// The read side of the camera store; listings keep store order.
class CameraQuery {
public:
    virtual ~CameraQuery() = default;
    // Error "Camera not found".
    virtual Result<CameraSummary> find_summary_by_id(const Uuid& id) const = 0;
    virtual Result<CameraSummary> find_summary_by_mac(const MacAddress& mac) const = 0;
    virtual Result<std::vector<CameraSummary>> list_all() const = 0;
    virtual Result<std::vector<CameraSummary>> list_by_status(CameraStatus status) const = 0;
};

}  // namespace voxapp
