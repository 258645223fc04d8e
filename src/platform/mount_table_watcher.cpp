#include "platform/mount_table_watcher.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <utility>

#include "system/events/system_events.hpp"

namespace voxapp {

namespace {

bool has_id(const std::vector<MountedStorage>& storages, const std::string& id) {
    return std::any_of(storages.begin(), storages.end(),
                       [&id](const MountedStorage& storage) { return storage.id == id; });
}

}  // namespace

Result<std::unique_ptr<MountTableWatcher>> MountTableWatcher::create(
    std::shared_ptr<const StorageLister> lister, std::shared_ptr<EventDispatcher> dispatcher,
    const std::string& mounts_path) {
    assert(lister != nullptr && dispatcher != nullptr);
    const int fd = open(mounts_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Error::fixed("Failed to open /proc/mounts", errno);
    }
    std::unique_ptr<MountTableWatcher> watcher(
        new MountTableWatcher(fd, std::move(lister), std::move(dispatcher)));
    watcher->on_readable();
    return watcher;
}

MountTableWatcher::MountTableWatcher(int fd, std::shared_ptr<const StorageLister> lister,
                                     std::shared_ptr<EventDispatcher> dispatcher)
    : fd_(fd), lister_(std::move(lister)), dispatcher_(std::move(dispatcher)) {}

MountTableWatcher::~MountTableWatcher() {
    unregister();
    close(fd_);
}

void MountTableWatcher::on_readable() {
    auto listed = lister_->list_all();
    if (!listed.ok()) {
        return;
    }
    // Replace the list before publishing, so a handler that asks the watcher sees the new one.
    std::vector<MountedStorage> previous = std::exchange(storages_, std::move(listed).value());
    for (const MountedStorage& storage : previous) {
        if (!has_id(storages_, storage.id)) {
            dispatcher_->publish(StorageUnmounted{storage});
        }
    }
    for (const MountedStorage& storage : storages_) {
        if (!has_id(previous, storage.id)) {
            dispatcher_->publish(StorageMounted{storage});
        }
    }
}

}  // namespace voxapp
