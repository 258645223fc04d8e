#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "platform/mount_table_storage_lister.hpp"
#include "platform/storage_file_system_space.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

using test::TempDir;
using test::write_file;

// A router's table: the system's own mounts, pseudo file systems, one USB stick mounted twice,
// a memory card, a bind mount of a sub-tree, a network share, a loop device and a line that is
// not a mount line at all.
constexpr const char* kRouterTable =
    "15 1 31:3 / / ro,relatime - squashfs /dev/root ro\n"
    "16 15 0:4 / /proc rw,nosuid - proc proc rw\n"
    "17 15 0:15 / /sys rw - sysfs sysfs rw\n"
    "18 15 0:16 / /tmp rw,nosuid shared:5 - tmpfs tmpfs rw\n"
    "19 15 0:17 / /dev rw - devtmpfs devtmpfs rw,size=512k\n"
    "20 15 31:4 / /overlay rw shared:7 master:1 propagate_from:2 - jffs2 /dev/mtdblock4 rw\n"
    "21 15 31:5 / /rom ro - squashfs /dev/mtdblock3 ro\n"
    "30 15 8:1 / /mnt/sda1 rw,relatime shared:12 - vfat /dev/sda1 rw,fmask=0022\n"
    "31 15 8:1 / /mnt/usb\\040stick rw - vfat /dev/sda1 rw\n"
    "32 15 179:1 / /mnt/mmcblk0p1 rw - ext4 /dev/mmcblk0p1 rw\n"
    "33 15 8:17 /recordings /mnt/bind rw - ext4 /dev/sdb1 rw\n"
    "34 15 0:40 / /mnt/nfs rw - nfs server:/export rw\n"
    "35 15 7:0 / /mnt/loop rw - ext2 /dev/loop0 rw\n"
    "36 15 8:33 / /log rw - ext4 /dev/sdc1 rw\n"
    "not a mount line\n"
    "37 15 8:49 / /mnt/broken rw no-separator ext4 /dev/sdd1\n";

MountedStorage storage(std::string id, StorageKind kind, std::string mount_point,
                       std::uint64_t total = 0, std::uint64_t free = 0) {
    return MountedStorage{id, kind, id, std::move(mount_point), total, free};
}

class StorageListerTest : public ::testing::Test {
protected:
    StorageListerTest() { write_file(table_path_, kRouterTable); }

    MountTableStorageLister lister() const {
        return MountTableStorageLister(table_path_, [this](const std::string& path) {
            queried_.push_back(path);
            auto found = sizes_.find(path);
            if (found == sizes_.end()) {
                return Result<FileSystemSpace>(Error::from_errno(ENOENT));
            }
            return Result<FileSystemSpace>(found->second);
        });
    }

    TempDir dir_;
    std::string table_path_ = dir_ / "mountinfo";
    std::map<std::string, FileSystemSpace> sizes_ = {
        {"/mnt/sda1", {8'000'000'000, 3'000'000'000}},
        {"/mnt/usb stick", {8'000'000'000, 2'999'000'000}},
        {"/", {4'194'304, 0}},
    };
    mutable std::vector<std::string> queried_;
};

TEST_F(StorageListerTest, ListsBlockDeviceMountsClassifiedAndSizedInTableOrder) {
    auto all = lister().list_all();
    ASSERT_TRUE(all.ok());
    const std::vector<MountedStorage> expected = {
        storage("/dev/root", StorageKind::Internal, "/", 4'194'304, 0),
        storage("/dev/mtdblock4", StorageKind::Internal, "/overlay"),
        storage("/dev/mtdblock3", StorageKind::Internal, "/rom"),
        storage("/dev/sda1", StorageKind::USB, "/mnt/sda1", 8'000'000'000, 3'000'000'000),
        storage("/dev/sda1", StorageKind::USB, "/mnt/usb stick", 8'000'000'000, 2'999'000'000),
        storage("/dev/mmcblk0p1", StorageKind::MMC, "/mnt/mmcblk0p1"),
        storage("/dev/loop0", StorageKind::Unknown, "/mnt/loop"),
        storage("/dev/sdc1", StorageKind::Internal, "/log"),
    };
    EXPECT_EQ(*all, expected);
    // Sizes are asked of the decoded mount point, never of a filtered line.
    EXPECT_EQ(queried_.size(), expected.size());
    EXPECT_EQ(queried_[4], "/mnt/usb stick");
}

TEST_F(StorageListerTest, ListsByKindAndFindsById) {
    auto usb = lister().list_by_kind(StorageKind::USB);
    ASSERT_TRUE(usb.ok());
    ASSERT_EQ(usb->size(), 2u);
    EXPECT_EQ((*usb)[0].mount_point, "/mnt/sda1");
    EXPECT_EQ((*usb)[1].mount_point, "/mnt/usb stick");

    auto internal = lister().list_by_kind(StorageKind::Internal);
    ASSERT_TRUE(internal.ok());
    EXPECT_EQ(internal->size(), 4u);
    auto invalid = lister().list_by_kind(static_cast<StorageKind>(9));
    ASSERT_TRUE(invalid.ok());
    EXPECT_TRUE(invalid->empty());

    // The same stick mounted twice: the first mount is the one found.
    auto stick = lister().get_by_id("/dev/sda1");
    ASSERT_TRUE(stick.ok());
    EXPECT_EQ(stick->mount_point, "/mnt/sda1");

    auto missing = lister().get_by_id("/dev/sdb1");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message(), "Mounted storage with given ID not found");
}

TEST_F(StorageListerTest, UsbMountPointsForTheLogFile) {
    auto points = usb_mount_points(lister());
    ASSERT_TRUE(points.ok());
    EXPECT_EQ(*points, (std::vector<std::string>{"/mnt/sda1", "/mnt/usb stick"}));
    EXPECT_EQ(first_usb_mount_point(lister()), "/mnt/sda1");

    write_file(table_path_, "15 1 31:3 / / ro - squashfs /dev/root ro\n");
    points = usb_mount_points(lister());
    ASSERT_TRUE(points.ok());
    EXPECT_TRUE(points->empty());
    EXPECT_EQ(first_usb_mount_point(lister()), "");
}

TEST_F(StorageListerTest, UnreadableTableFailsEveryOperation) {
    MountTableStorageLister missing(dir_ / "absent");
    constexpr std::string_view kText = "Failed to open /proc/self/mountinfo";
    auto all = missing.list_all();
    ASSERT_FALSE(all.ok());
    EXPECT_EQ(all.error().message(), kText);
    EXPECT_EQ(all.error().code(), ENOENT);
    auto usb = missing.list_by_kind(StorageKind::USB);
    ASSERT_FALSE(usb.ok());
    EXPECT_EQ(usb.error().message(), kText);
    auto one = missing.get_by_id("/dev/sda1");
    ASSERT_FALSE(one.ok());
    EXPECT_EQ(one.error().message(), kText);
    auto points = usb_mount_points(missing);
    ASSERT_FALSE(points.ok());
    EXPECT_EQ(points.error().message(), kText);
    EXPECT_EQ(first_usb_mount_point(missing), "");
}

TEST(MountInfoLineTest, FiltersAndDecodes) {
    // No optional fields at all.
    auto plain = parse_mountinfo_line("40 15 8:1 / /mnt/a rw - vfat /dev/sda1 rw");
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(*plain, storage("/dev/sda1", StorageKind::USB, "/mnt/a"));
    // Escaped blank, tab and backslash in the mount point; a lone backslash stays.
    auto escaped =
        parse_mountinfo_line("40 15 8:1 / /mnt/a\\040b\\011c\\134d\\x rw - vfat /dev/sda1 rw");
    ASSERT_TRUE(escaped.has_value());
    EXPECT_EQ(escaped->mount_point, "/mnt/a b\tc\\d\\x");

    EXPECT_FALSE(parse_mountinfo_line("").has_value());
    EXPECT_FALSE(parse_mountinfo_line("40 15 8:1 / /mnt/a rw shared:1 -").has_value());
    EXPECT_FALSE(parse_mountinfo_line("40 15 8:1 / /mnt/a rw - vfat").has_value());
    EXPECT_FALSE(parse_mountinfo_line("40 15 8:1 / /mnt/a rw - tmpfs /dev/sda1 rw").has_value());
    EXPECT_FALSE(parse_mountinfo_line("40 15 8:1 / /mnt/a rw - vfat sda1 rw").has_value());
    EXPECT_FALSE(parse_mountinfo_line("40 15 8:1 /x /mnt/a rw - vfat /dev/sda1 rw").has_value());
}

TEST(MountInfoLineTest, ClassifiesSystemMountsFirstThenBySource) {
    EXPECT_EQ(classify_storage("/", "/dev/sda1"), StorageKind::Internal);
    EXPECT_EQ(classify_storage("/rom", "/dev/sda1"), StorageKind::Internal);
    EXPECT_EQ(classify_storage("/boot", "/dev/mmcblk0p1"), StorageKind::Internal);
    EXPECT_EQ(classify_storage("/overlay", "/dev/ubiblock0"), StorageKind::Internal);
    EXPECT_EQ(classify_storage("/log", "/dev/sda1"), StorageKind::Internal);
    EXPECT_EQ(classify_storage("/mnt/x", "/dev/root"), StorageKind::Internal);
    EXPECT_EQ(classify_storage("/mnt/x", "/dev/mtdblock7"), StorageKind::Internal);
    EXPECT_EQ(classify_storage("/mnt/x", "/dev/sdb3"), StorageKind::USB);
    EXPECT_EQ(classify_storage("/mnt/x", "/dev/mmcblk1p2"), StorageKind::MMC);
    EXPECT_EQ(classify_storage("/mnt/x", "/dev/nvme0n1p1"), StorageKind::Unknown);
    EXPECT_EQ(classify_storage("/logs", "/dev/rootfs"), StorageKind::Unknown);
}

TEST(FileSystemSpaceTest, AsksTheKernel) {
    TempDir dir;
    auto space = query_file_system_space(dir.path());
    ASSERT_TRUE(space.ok());
    EXPECT_GT(space->total_bytes, 0u);
    EXPECT_LE(space->free_bytes, space->total_bytes);

    auto missing = query_file_system_space(dir / "absent");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code(), ENOENT);

    // The process's own table is readable and lists the root file system's mount.
    auto own = MountTableStorageLister().list_all();
    EXPECT_TRUE(own.ok());
}

}  // namespace
}  // namespace voxapp
