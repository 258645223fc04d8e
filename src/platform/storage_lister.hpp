#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/mounted_storage.hpp"
#include "core/result.hpp"

namespace voxapp {

// Lists the mounted block-device file systems. Every call reads the mount table afresh, so the
// answer is as current as the kernel's table; implementations keep no state and may be called
// from any thread.
class StorageLister {
public:
    virtual ~StorageLister() = default;

    // The first listed storage whose id is `id`.
    // Errors: "Mounted storage with given ID not found", or the listing error.
    virtual Result<MountedStorage> get_by_id(std::string_view id) const = 0;
    // Every listed storage, in mount-table order. Error: "Failed to open /proc/self/mountinfo".
    virtual Result<std::vector<MountedStorage>> list_all() const = 0;
    // The storages of one kind, in mount-table order; errors as list_all.
    virtual Result<std::vector<MountedStorage>> list_by_kind(StorageKind kind) const = 0;
};

// Mount points of the mounted USB storages, in mount-table order; errors as list_all. The log
// file asks this when the USB storage it is on goes away.
Result<std::vector<std::string>> usb_mount_points(const StorageLister& lister);

// Mount point of the first mounted USB storage; empty when there is none or the table cannot
// be read. Chooses the storage at start-up.
std::string first_usb_mount_point(const StorageLister& lister);

}  // namespace voxapp
