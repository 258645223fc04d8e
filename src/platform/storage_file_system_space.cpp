#include "platform/storage_file_system_space.hpp"

#include <sys/statvfs.h>

#include <cerrno>

namespace voxapp {

Result<FileSystemSpace> query_file_system_space(const std::string& path) {
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0) {
        return Error::from_errno(errno);
    }
    // The block counts are 32 bits wide on the router unless large-file support is on; widen
    // before multiplying so a large USB disk does not wrap.
    const auto fragment = static_cast<std::uint64_t>(info.f_frsize);
    return FileSystemSpace{fragment * static_cast<std::uint64_t>(info.f_blocks),
                           fragment * static_cast<std::uint64_t>(info.f_bfree)};
}

}  // namespace voxapp
