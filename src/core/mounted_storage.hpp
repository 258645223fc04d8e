#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace voxapp {

// What a mounted file system lives on. Stored as one byte; a value outside the enumerators can
// arrive through a cast and names itself "Invalid".
enum class StorageKind : std::uint8_t {
    Unknown = 0,
    Internal = 1,
    USB = 2,
    MMC = 3,
};

// The name used in log texts: "Unknown", "Internal", "USB", "MMC", or "Invalid".
constexpr std::string_view storage_kind_name(StorageKind kind) {
    switch (kind) {
        case StorageKind::Unknown:
            return "Unknown";
        case StorageKind::Internal:
            return "Internal";
        case StorageKind::USB:
            return "USB";
        case StorageKind::MMC:
            return "MMC";
    }
    return "Invalid";
}

// One mounted block-device file system as the mount table lists it. The id is the mount source
// device path and identifies the storage; device holds the same text. Sizes are 0 when the file
// system could not be queried.
struct MountedStorage {
    std::string id;
    StorageKind kind = StorageKind::Unknown;
    std::string device;
    std::string mount_point;
    std::uint64_t total_bytes = 0;
    std::uint64_t free_bytes = 0;

    friend bool operator==(const MountedStorage&, const MountedStorage&) = default;
};

}  // namespace voxapp
