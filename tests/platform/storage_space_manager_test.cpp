#include "platform/storage_space_manager.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "support/recording_logger.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

using test::RecordingLogger;
using test::TempDir;

constexpr std::int64_t kGB = 1'000'000'000;

// A sparse file of `size` bytes, last modified at `modified` seconds after the epoch.
void make_file(const std::string& path, std::int64_t size, time_t modified) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, size), 0);
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
}

bool exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

class StorageSpaceManagerTest : public ::testing::Test {
protected:
    std::unique_ptr<StorageSpaceManager> manager(std::string directory) {
        return std::make_unique<StorageSpaceManager>(
            std::move(directory), logger_, [this](const std::string& path) {
                queried_ = path;
                if (space_fails_) {
                    return Result<FileSystemSpace>(Error::from_errno(EIO));
                }
                return Result<FileSystemSpace>(FileSystemSpace{100 * kGB, free_bytes_});
            });
    }

    TempDir dir_;
    std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
    std::uint64_t free_bytes_ = 0;
    bool space_fails_ = false;
    std::string queried_;
};

TEST_F(StorageSpaceManagerTest, FullStorageDeletesOldestFilesDownToTheShareLessTheReserve) {
    // Ten 1 GB recordings whose names run against their age, so the order must come from the
    // modification times.
    for (int i = 0; i < 10; ++i) {
        make_file(dir_ / ("rec" + std::to_string(i)), kGB, 1'700'000'000 - i * 60);
    }
    // A sub-directory's files are neither counted nor deleted.
    ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0700), 0);
    make_file(dir_ / "sub/old", 50 * kGB, 1'000);

    auto freed = manager(dir_.path())->clean_up();
    ASSERT_TRUE(freed.ok());
    // 10 GB occupied and nothing free: at most 8 GB, and down to 8 GB - 100 MiB once over.
    EXPECT_EQ(*freed, 3 * kGB);
    EXPECT_EQ(queried_, dir_.path());
    EXPECT_EQ(logger_->texts(), (std::vector<std::string>{
                                    "[StorageSpaceManager] Occupied space: 10000000000",
                                    "[StorageSpaceManager] Max allowed size: 8000000000",
                                    "Deleting file: " + (dir_ / "rec9"),
                                    "Deleting file: " + (dir_ / "rec8"),
                                    "Deleting file: " + (dir_ / "rec7"),
                                }));
    for (const auto& [level, text] : logger_->lines()) {
        EXPECT_EQ(level, LogLevel::debug) << text;
    }
    EXPECT_FALSE(exists(dir_ / "rec7"));
    EXPECT_TRUE(exists(dir_ / "rec6"));
    EXPECT_TRUE(exists(dir_ / "rec0"));
    EXPECT_TRUE(exists(dir_ / "sub/old"));
}

TEST_F(StorageSpaceManagerTest, WithinTheShareNothingIsDeleted) {
    make_file(dir_ / "a", 8 * kGB, 1000);
    free_bytes_ = 2 * kGB;  // exactly at the share: 8 GB of 10 GB
    auto freed = manager(dir_.path())->clean_up();
    ASSERT_TRUE(freed.ok());
    EXPECT_EQ(*freed, 0);
    EXPECT_TRUE(exists(dir_ / "a"));
    EXPECT_EQ(logger_->texts().size(), 2u);
    EXPECT_EQ(logger_->texts()[1], "[StorageSpaceManager] Max allowed size: 8000000000");
}

TEST_F(StorageSpaceManagerTest, OnlyRegularFilesCount) {
    make_file(dir_ / "a", 5 * kGB, 1000);
    ASSERT_EQ(symlink((dir_ / "a").c_str(), (dir_ / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    auto freed = manager(dir_.path())->clean_up();
    ASSERT_TRUE(freed.ok());
    EXPECT_EQ(*freed, 5 * kGB);
    EXPECT_EQ(logger_->texts()[0], "[StorageSpaceManager] Occupied space: 5000000000");
    EXPECT_FALSE(exists(dir_ / "a"));
    EXPECT_TRUE(exists(dir_ / "link"));
    EXPECT_TRUE(exists(dir_ / "fifo"));
}

TEST_F(StorageSpaceManagerTest, UnknownFileSystemSizeDeletesNothing) {
    make_file(dir_ / "a", kGB, 1000);
    space_fails_ = true;
    auto freed = manager(dir_.path())->clean_up();
    ASSERT_FALSE(freed.ok());
    EXPECT_EQ(freed.error().message(), "Unable to get file system size");
    EXPECT_EQ(freed.error().code(), EIO);
    EXPECT_TRUE(exists(dir_ / "a"));
}

TEST_F(StorageSpaceManagerTest, WithoutDirectoryThereIsNoBudget) {
    auto freed = manager("")->clean_up();
    ASSERT_TRUE(freed.ok());
    EXPECT_EQ(*freed, 0);
    EXPECT_TRUE(logger_->texts().empty());
    EXPECT_TRUE(queried_.empty());

    auto missing = manager(dir_ / "absent")->clean_up();
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message(), "Unable to open directory");
    EXPECT_EQ(missing.error().code(), ENOENT);
}

// In RAM every file still waits for its upload: the ceiling stops downloads, it deletes nothing.
TEST_F(StorageSpaceManagerTest, AMemoryDirectoryHasACeilingAndIsNeverCleanedUp) {
    constexpr std::int64_t kMiB = 1'048'576;
    auto space = manager("");
    ASSERT_TRUE(space->set_directory(dir_.path(), StorageBudget::memory).ok());
    make_file(dir_ / "a", 20 * kMiB, 1000);
    make_file(dir_ / "b", 12 * kMiB, 2000);
    EXPECT_FALSE(*space->memory_budget_exceeded());  // the 32 MiB ceiling, not 25 GB
    make_file(dir_ / "c", 1, 3000);
    EXPECT_TRUE(*space->memory_budget_exceeded());
    EXPECT_EQ(*space->clean_up(), 0);
    EXPECT_TRUE(exists(dir_ / "a"));

    ASSERT_TRUE(space->set_directory(dir_.path()).ok());
    EXPECT_FALSE(*space->memory_budget_exceeded());
}

TEST_F(StorageSpaceManagerTest, SetDirectoryKeepsTheOldOneWhenInvalid) {
    auto space = manager(dir_ / "camera");  // not created yet: accepted as given
    EXPECT_EQ(space->directory(), dir_ / "camera");

    ASSERT_TRUE(space->set_directory(dir_.path()).ok());
    EXPECT_EQ(space->directory(), dir_.path());

    make_file(dir_ / "plain", 1, 1000);
    for (const std::string& bad : {dir_ / "absent", dir_ / "plain"}) {
        auto set = space->set_directory(bad);
        ASSERT_FALSE(set.ok()) << bad;
        EXPECT_EQ(set.error().message(), "Invalid directory");
        EXPECT_EQ(space->directory(), dir_.path());
    }

    ASSERT_TRUE(space->set_directory("").ok());
    EXPECT_EQ(space->directory(), "");
}

}  // namespace
}  // namespace voxapp
