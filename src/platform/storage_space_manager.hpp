#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/result.hpp"
#include "platform/storage_file_system_space.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// How a recording directory is bounded: on removable storage by clean-up of the oldest files
// once they pass the maximum share; in memory ("/tmp" is the router's RAM) by a fixed ceiling
// that downloads must stay under, since every file there still waits for its upload.
enum class StorageBudget { removable, memory };

// Keeps the recording directory within a share of its file system by deleting the oldest
// files. One shared instance holds the budget: the directory (empty: no budget), the maximum
// share of the file system the directory may fill, and a reserve kept free below that.
//
// Threads: every member may be called from any thread; the directory is guarded by a mutex,
// and a clean-up works on the directory it found when it started.
class StorageSpaceManager {
public:
    static constexpr double kMaximumShare = 0.8;
    static constexpr std::int64_t kReserveBytes = 104'857'600;  // 100 MiB
    // A memory directory may hold the smaller of these: a quarter of its file system, and
    // 32 MiB (about four minutes of a camera's 1 Mbit/s stream), so the router keeps its RAM.
    static constexpr double kMemoryShare = 0.25;
    static constexpr std::int64_t kMemoryCeilingBytes = 33'554'432;

    // `directory` is taken as it is (it may not exist yet). `logger` may be null.
    StorageSpaceManager(std::string directory, std::shared_ptr<Logger> logger,
                        FileSystemSpaceQuery space_query = query_file_system_space);

    // Switches the budget to `directory` of the given kind; empty switches it off.
    // Error: "Invalid directory" when a non-empty directory cannot be opened; the old
    // directory stays.
    Status set_directory(std::string directory, StorageBudget budget = StorageBudget::removable);
    std::string directory() const;

    // Whether the files of a memory directory take more than its ceiling; false for a
    // removable directory or none. Error: as clean_up's.
    Result<bool> memory_budget_exceeded() const;

    // Deletes the oldest regular files directly in the directory (sub-directories are neither
    // counted nor entered) until the files take at most the maximum share of the file system
    // minus the reserve, provided they exceed the maximum share at all. Returns the bytes freed.
    // Errors: "Unable to open directory"; "Unable to get file system size" (with the errno of
    // statvfs), in which case nothing is deleted. A memory directory is never cleaned up: 0.
    Result<std::int64_t> clean_up();

private:
    void debug(const std::string& text) const;

    mutable std::mutex mutex_;
    std::string directory_;
    StorageBudget budget_ = StorageBudget::removable;
    std::shared_ptr<Logger> logger_;
    FileSystemSpaceQuery space_query_;
};

}  // namespace voxapp
