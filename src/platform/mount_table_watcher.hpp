#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/mounted_storage.hpp"
#include "core/result.hpp"
#include "platform/storage_lister.hpp"
#include "system/events/event_dispatcher.hpp"
#include "system/io/fd_handler.hpp"

namespace voxapp {

// The kernel's mount list; it signals every change of the mount table as priority readiness.
inline constexpr const char* kMountsPath = "/proc/mounts";

// Publishes StorageMounted and StorageUnmounted whenever the mount table changes
// ("App::System::Storage::MountTableWatcher").
//
// Storages are matched by id: a storage whose id disappears from the listing is unmounted, one
// whose id appears is mounted. One device mounted at two places therefore counts as one
// storage while either mount remains. Events go out synchronously through the dispatcher, on
// the thread that calls on_readable (the event loop's); unmounts before mounts.
//
// The caller adds the watcher to its event loop; destroying the watcher removes it and closes
// the descriptor.
class MountTableWatcher final : public FdHandler {
public:
    // Opens `mounts_path` and publishes a StorageMounted for every storage listed now.
    // Error: errno of the open.
    static Result<std::unique_ptr<MountTableWatcher>> create(
        std::shared_ptr<const StorageLister> lister, std::shared_ptr<EventDispatcher> dispatcher,
        const std::string& mounts_path = kMountsPath);

    ~MountTableWatcher() override;
    MountTableWatcher(const MountTableWatcher&) = delete;
    MountTableWatcher& operator=(const MountTableWatcher&) = delete;

    int fd() const override { return fd_; }
    std::uint32_t events() const override { return EPOLLPRI; }
    // The mount table changed: list again and publish the differences. A listing error keeps
    // the previous list and publishes nothing.
    void on_readable() override;
    void on_writable() override {}
    // The kernel reports a change as EPOLLERR together with EPOLLPRI; on_readable handles it.
    void on_error() override {}

    // The storages as last listed.
    const std::vector<MountedStorage>& storages() const { return storages_; }

private:
    MountTableWatcher(int fd, std::shared_ptr<const StorageLister> lister,
                      std::shared_ptr<EventDispatcher> dispatcher);

    int fd_;
    std::shared_ptr<const StorageLister> lister_;
    std::shared_ptr<EventDispatcher> dispatcher_;
    std::vector<MountedStorage> storages_;
};

}  // namespace voxapp
