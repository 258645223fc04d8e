#pragma once

#include <optional>

#include "core/result.hpp"
#include "core/uuid.hpp"

namespace voxapp {

// What the unit requests need to know of the cameras.
class CameraDirectory {
public:
    virtual ~CameraDirectory() = default;
    // Whether any known camera is Discovered or Online.
    virtual Result<bool> has_discovered_or_online_camera() const = 0;
    // The first Online camera in store order, if any.
    virtual Result<std::optional<Uuid>> first_online_camera() const = 0;
};

// The cameras of a router that has none.
class EmptyCameraDirectory : public CameraDirectory {
public:
    Result<bool> has_discovered_or_online_camera() const override { return false; }
    Result<std::optional<Uuid>> first_online_camera() const override {
        return std::optional<Uuid>();
    }
};

}  // namespace voxapp
