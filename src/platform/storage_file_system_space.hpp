#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/result.hpp"

namespace voxapp {

// Size of a mounted file system in bytes: fragment size × total blocks and × free blocks.
struct FileSystemSpace {
    std::uint64_t total_bytes = 0;
    std::uint64_t free_bytes = 0;
};

// Asks statvfs about the file system that holds `path`. Error: errno of statvfs.
Result<FileSystemSpace> query_file_system_space(const std::string& path);

// The seam through which storage code learns file system sizes; tests put fixed numbers here.
using FileSystemSpaceQuery = std::function<Result<FileSystemSpace>(const std::string& path)>;

}  // namespace voxapp
