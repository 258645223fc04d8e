#include "platform/mount_table_watcher.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/mount_table_storage_lister.hpp"
#include "support/temp_dir.hpp"
#include "system/events/system_events.hpp"
#include "system/io/event_loop.hpp"

namespace voxapp {
namespace {

using test::TempDir;
using test::write_file;

constexpr const char* kRoot = "15 1 31:3 / / ro - squashfs /dev/root ro\n";
constexpr const char* kStick = "30 15 8:1 / /mnt/sda1 rw - vfat /dev/sda1 rw\n";
constexpr const char* kStickAgain = "31 15 8:1 / /mnt/second rw - vfat /dev/sda1 rw\n";
constexpr const char* kCard = "32 15 179:1 / /mnt/card rw - ext4 /dev/mmcblk0p1 rw\n";

// Every storage event as "+<kind> <id> <mount point>" or "-<kind> <id> <mount point>", in
// publication order.
class StorageEvents {
public:
    explicit StorageEvents(EventDispatcher& dispatcher) {
        dispatcher.subscribe<StorageMounted>(
            [this](const StorageMounted& event) { seen.push_back("+" + describe(event.storage)); });
        dispatcher.subscribe<StorageUnmounted>([this](const StorageUnmounted& event) {
            seen.push_back("-" + describe(event.storage));
        });
    }
    std::vector<std::string> take() { return std::exchange(seen, {}); }
    static std::string describe(const MountedStorage& storage) {
        EXPECT_EQ(storage.device, storage.id);
        return std::string(storage_kind_name(storage.kind)) + " " + storage.id + " " +
               storage.mount_point;
    }

    std::vector<std::string> seen;
};

class MountTableWatcherTest : public ::testing::Test {
protected:
    MountTableWatcherTest()
        : dispatcher_(std::move(EventDispatcher::create()).value()), events_(*dispatcher_) {}

    std::unique_ptr<MountTableWatcher> make_watcher() {
        auto lister = std::make_shared<MountTableStorageLister>(
            table_, [](const std::string&) { return Result<FileSystemSpace>(FileSystemSpace{}); });
        // Any readable file stands in for the kernel's mount list here.
        auto watcher = MountTableWatcher::create(lister, dispatcher_, table_);
        EXPECT_TRUE(watcher.ok());
        return watcher.ok() ? std::move(watcher).value() : nullptr;
    }

    TempDir dir_;
    std::string table_ = dir_ / "mountinfo";
    std::shared_ptr<EventDispatcher> dispatcher_;
    StorageEvents events_;
};

TEST_F(MountTableWatcherTest, PublishesWhatIsMountedAtCreationThenTheDifferences) {
    write_file(table_, std::string(kRoot) + kStick);
    auto watcher = make_watcher();
    ASSERT_NE(watcher, nullptr);
    EXPECT_EQ(events_.take(),
              (std::vector<std::string>{"+Internal /dev/root /", "+USB /dev/sda1 /mnt/sda1"}));
    EXPECT_EQ(watcher->events(), static_cast<std::uint32_t>(EPOLLPRI));
    EXPECT_GE(watcher->fd(), 0);

    // Nothing changed: nothing published.
    watcher->on_readable();
    EXPECT_TRUE(events_.take().empty());

    // The stick goes and a card comes in one change: the unmount is published first.
    write_file(table_, std::string(kRoot) + kCard);
    watcher->on_readable();
    EXPECT_EQ(events_.take(), (std::vector<std::string>{"-USB /dev/sda1 /mnt/sda1",
                                                        "+MMC /dev/mmcblk0p1 /mnt/card"}));
    ASSERT_EQ(watcher->storages().size(), 2u);
    EXPECT_EQ(watcher->storages()[1].kind, StorageKind::MMC);
}

TEST_F(MountTableWatcherTest, OneDeviceMountedTwiceCountsAsOneStorage) {
    write_file(table_, std::string(kRoot) + kStick);
    auto watcher = make_watcher();
    ASSERT_NE(watcher, nullptr);
    events_.take();

    write_file(table_, std::string(kRoot) + kStick + kStickAgain);
    watcher->on_readable();
    EXPECT_TRUE(events_.take().empty());
    EXPECT_EQ(watcher->storages().size(), 3u);

    write_file(table_, std::string(kRoot) + kStickAgain);
    watcher->on_readable();
    EXPECT_TRUE(events_.take().empty());

    write_file(table_, kRoot);
    watcher->on_readable();
    EXPECT_EQ(events_.take(), (std::vector<std::string>{"-USB /dev/sda1 /mnt/second"}));
}

TEST_F(MountTableWatcherTest, ListingErrorKeepsTheOldListAndPublishesNothing) {
    write_file(table_, std::string(kRoot) + kStick);
    auto watcher = make_watcher();
    ASSERT_NE(watcher, nullptr);
    events_.take();

    ASSERT_EQ(unlink(table_.c_str()), 0);
    watcher->on_readable();
    EXPECT_TRUE(events_.take().empty());
    EXPECT_EQ(watcher->storages().size(), 2u);

    // Back with the stick gone: compared with the list from before the error.
    write_file(table_, kRoot);
    watcher->on_readable();
    EXPECT_EQ(events_.take(), (std::vector<std::string>{"-USB /dev/sda1 /mnt/sda1"}));
}

TEST_F(MountTableWatcherTest, CreationFailsWithTheErrnoOfTheOpen) {
    write_file(table_, kRoot);
    auto lister = std::make_shared<MountTableStorageLister>(table_);
    auto watcher = MountTableWatcher::create(lister, dispatcher_, dir_ / "no-mounts");
    ASSERT_FALSE(watcher.ok());
    EXPECT_EQ(watcher.error().code(), ENOENT);
    EXPECT_TRUE(events_.take().empty());
}

// Exit codes of the child that watches a real mount.
enum ChildExit {
    kPassed = 0,
    kNoNamespace = 77,
    kSetupFailed = 10,
    kNoMountEvent,
    kNoUnmountEvent
};

int watch_real_mount(const std::string& mount_point) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        return kNoNamespace;
    }
    auto loop = EventLoop::create();
    auto dispatcher = EventDispatcher::create();
    if (!loop.ok() || !dispatcher.ok()) {
        return kSetupFailed;
    }
    std::shared_ptr<EventDispatcher> shared_dispatcher = std::move(dispatcher).value();
    StorageEvents events(*shared_dispatcher);
    auto watcher =
        MountTableWatcher::create(std::make_shared<MountTableStorageLister>(), shared_dispatcher);
    if (!watcher.ok() || !loop->add(**watcher).ok()) {
        return kSetupFailed;
    }
    events.take();

    const auto wait_for = [&](const std::string& wanted) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const std::string& seen : events.take()) {
                if (seen == wanted) {
                    return true;
                }
            }
            if (!loop->poll(100).ok()) {
                return false;
            }
        }
        return false;
    };
    // ramfs ignores its source, so the line reads like a USB partition.
    if (mount("/dev/sdz1", mount_point.c_str(), "ramfs", 0, nullptr) != 0) {
        return kSetupFailed;
    }
    if (!wait_for("+USB /dev/sdz1 " + mount_point)) {
        return kNoMountEvent;
    }
    if (umount2(mount_point.c_str(), MNT_DETACH) != 0) {
        return kSetupFailed;
    }
    if (!wait_for("-USB /dev/sdz1 " + mount_point)) {
        return kNoUnmountEvent;
    }
    return kPassed;
}

TEST(MountTableWatcherKernelTest, SeesAMountAndUnmountInAPrivateNamespace) {
    TempDir dir;
    const std::string mount_point = dir / "usb";
    ASSERT_EQ(mkdir(mount_point.c_str(), 0700), 0);

    // The namespace is the child's, so the test process keeps its own mounts.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(watch_real_mount(mount_point));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kNoNamespace) {
        GTEST_SKIP() << "no permission for a private mount namespace";
    }
    EXPECT_EQ(WEXITSTATUS(status), kPassed);
}

}  // namespace
}  // namespace voxapp
