#include "platform/storage_space_manager.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

namespace voxapp {

namespace {

struct StoredFile {
    std::string path;
    std::int64_t size;
    timespec modified;
};

bool older(const StoredFile& a, const StoredFile& b) {
    // The name breaks ties so that the order does not depend on the directory's order.
    return std::tie(a.modified.tv_sec, a.modified.tv_nsec, a.path) <
           std::tie(b.modified.tv_sec, b.modified.tv_nsec, b.path);
}

// The regular files directly in `directory`, oldest first.
Result<std::vector<StoredFile>> stored_files(const std::string& directory) {
    DIR* handle = opendir(directory.c_str());
    if (handle == nullptr) {
        return Error::fixed("Unable to open directory", errno);
    }
    std::vector<StoredFile> files;
    while (const dirent* entry = readdir(handle)) {
        // Some file systems leave the entry type open; lstat settles it below.
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) {
            continue;
        }
        std::string path = directory + "/" + entry->d_name;
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        files.push_back({std::move(path), static_cast<std::int64_t>(info.st_size), info.st_mtim});
    }
    closedir(handle);
    std::sort(files.begin(), files.end(), older);
    return files;
}

}  // namespace

StorageSpaceManager::StorageSpaceManager(std::string directory, std::shared_ptr<Logger> logger,
                                         FileSystemSpaceQuery space_query)
    : directory_(std::move(directory)),
      logger_(std::move(logger)),
      space_query_(std::move(space_query)) {}

Status StorageSpaceManager::set_directory(std::string directory, StorageBudget budget) {
    if (!directory.empty()) {
        DIR* handle = opendir(directory.c_str());
        if (handle == nullptr) {
            return Error::fixed("Invalid directory", errno);
        }
        closedir(handle);
    }
    std::lock_guard lock(mutex_);
    directory_ = std::move(directory);
    budget_ = budget;
    return {};
}

std::string StorageSpaceManager::directory() const {
    std::lock_guard lock(mutex_);
    return directory_;
}

void StorageSpaceManager::debug(const std::string& text) const {
    if (logger_) {
        logger_->debug(text);
    }
}

Result<bool> StorageSpaceManager::memory_budget_exceeded() const {
    std::string directory;
    {
        std::lock_guard lock(mutex_);
        if (budget_ != StorageBudget::memory || directory_.empty()) {
            return false;
        }
        directory = directory_;
    }
    auto files = stored_files(directory);
    if (!files) {
        return files.error();
    }
    auto space = space_query_(directory);
    if (!space.ok()) {
        return Error::fixed("Unable to get file system size", space.error().code());
    }
    std::int64_t occupied = 0;
    for (const StoredFile& file : *files) {
        occupied += file.size;
    }
    // A file system that reports no size (ramfs) is bounded by the ceiling alone.
    const auto share =
        static_cast<std::int64_t>(static_cast<double>(space->total_bytes) * kMemoryShare);
    return occupied > (share > 0 ? std::min(share, kMemoryCeilingBytes) : kMemoryCeilingBytes);
}

Result<std::int64_t> StorageSpaceManager::clean_up() {
    std::string directory;
    {
        std::lock_guard lock(mutex_);
        if (budget_ == StorageBudget::memory) {
            return std::int64_t{0};
        }
        directory = directory_;
    }
    if (directory.empty()) {
        return std::int64_t{0};
    }
    auto stored = stored_files(directory);
    if (!stored) {
        return stored.error();
    }
    const std::vector<StoredFile>& files = *stored;

    std::int64_t occupied = 0;
    for (const StoredFile& file : files) {
        occupied += file.size;
    }
    debug("[StorageSpaceManager] Occupied space: " + std::to_string(occupied));

    // Without the file system's size the budget is unknown; a budget of 0 would delete every
    // recording, so nothing is deleted.
    auto space = space_query_(directory);
    if (!space.ok()) {
        return Error::fixed("Unable to get file system size", space.error().code());
    }
    const auto maximum = static_cast<std::int64_t>(
        std::floor(static_cast<double>(occupied + static_cast<std::int64_t>(space->free_bytes)) *
                   kMaximumShare));
    debug("[StorageSpaceManager] Max allowed size: " + std::to_string(maximum));
    if (occupied <= maximum) {
        return std::int64_t{0};
    }

    const std::int64_t target = maximum - kReserveBytes;
    std::int64_t remaining = occupied;
    for (const StoredFile& file : files) {
        if (remaining <= target) {
            break;
        }
        debug("Deleting file: " + file.path);
        if (unlink(file.path.c_str()) == 0) {
            remaining -= file.size;
        }
    }
    return occupied - remaining;
}

}  // namespace voxapp
