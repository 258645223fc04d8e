#pragma once

#include <optional>

#include "core/ipv4_address.hpp"
#include "core/mac_address.hpp"
#include "core/result.hpp"
#include "core/settings.hpp"
#include "core/uuid.hpp"

namespace voxapp {

// What the recording transfer needs to know of a camera.
struct RecordingCamera {
    Ipv4Address ip;
    // Empty when no credentials are set for the camera.
    std::optional<CameraCredential> credential;
    // What finds the camera again after a restart, when its id is new.
    std::optional<MacAddress> mac{};
};

// The camera store as the recording transfer sees it. Threads: any.
class CameraLookup {
public:
    virtual ~CameraLookup() = default;
    // Error: the store's ("Camera not found").
    virtual Result<RecordingCamera> find(const Uuid& id) const = 0;
    virtual Result<RecordingCamera> find_by_mac(const MacAddress& mac) const = 0;
};

}  // namespace voxapp
