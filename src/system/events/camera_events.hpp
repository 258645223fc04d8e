#pragma once

#include <string>

#include "core/ipv4_address.hpp"
#include "core/mac_address.hpp"
#include "core/uuid.hpp"

namespace voxapp {

// Camera domain events, published after the changed camera has been stored. Each carries the
// camera id first.

struct CameraDiscovered {
    Uuid camera_id;
    MacAddress mac;
    Ipv4Address ip;
};

struct CameraCredentialsSet {
    Uuid camera_id;
    std::string user_name;
    std::string password;
};

struct CameraIpChanged {
    Uuid camera_id;
    Ipv4Address ip;
};

struct CameraWentOnline {
    Uuid camera_id;
};

struct CameraWentOffline {
    Uuid camera_id;
};

struct CameraCredentialsInvalidated {
    Uuid camera_id;
};

struct CameraProvisioned {
    Uuid camera_id;
};

struct CameraProvisioningFailed {
    Uuid camera_id;
};

}  // namespace voxapp
