#include "platform/storage_lister.hpp"

namespace voxapp {

Result<std::vector<std::string>> usb_mount_points(const StorageLister& lister) {
    auto storages = lister.list_by_kind(StorageKind::USB);
    if (!storages.ok()) {
        return storages.error();
    }
    std::vector<std::string> mount_points;
    mount_points.reserve(storages->size());
    for (const MountedStorage& storage : *storages) {
        mount_points.push_back(storage.mount_point);
    }
    return mount_points;
}

std::string first_usb_mount_point(const StorageLister& lister) {
    auto mount_points = usb_mount_points(lister);
    if (!mount_points.ok() || mount_points->empty()) {
        return {};
    }
    return mount_points->front();
}

}  // namespace voxapp
