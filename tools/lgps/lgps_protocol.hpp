#pragma once

#include <libubox/blobmsg.h>

namespace voxapp::lgps {

// What the stand-in GPS library and the simulated GPS service say to each other on the bus.
inline constexpr const char* kObject = "gps";
inline constexpr const char* kMethod = "position";
// A call that takes longer fails as a bus error; GP replies wait for it on the main loop.
inline constexpr int kTimeoutMs = 500;

enum Field {
    longitude,
    latitude,
    altitude,
    course,
    speed,
    accuracy,
    satellites,
    fix_type,
    timestamp,
};
inline constexpr int kFieldCount = timestamp + 1;

inline const blobmsg_policy kPolicy[kFieldCount] = {
    {"longitude", BLOBMSG_TYPE_DOUBLE}, {"latitude", BLOBMSG_TYPE_DOUBLE},
    {"altitude", BLOBMSG_TYPE_DOUBLE},  {"course", BLOBMSG_TYPE_DOUBLE},
    {"speed", BLOBMSG_TYPE_DOUBLE},     {"accuracy", BLOBMSG_TYPE_DOUBLE},
    {"satellites", BLOBMSG_TYPE_INT32}, {"fix_type", BLOBMSG_TYPE_INT32},
    {"timestamp", BLOBMSG_TYPE_INT64},
};

}  // namespace voxapp::lgps
