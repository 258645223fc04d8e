#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/mounted_storage.hpp"
#include "core/result.hpp"
#include "platform/storage_file_system_space.hpp"
#include "platform/storage_lister.hpp"

namespace voxapp {

// The kernel's mount table of this process. A kernel path: never relocated.
inline constexpr const char* kMountInfoPath = "/proc/self/mountinfo";

// The storage lister over a mountinfo file. Lines for pseudo file systems (proc, sysfs, tmpfs,
// devtmpfs), bind mounts of a sub-tree (root other than "/") and sources outside "/dev/" are
// left out. Sizes come from `space_query` on the mount point; 0 when it fails.
class MountTableStorageLister final : public StorageLister {
public:
    // `mountinfo_path` lets tests feed a fixture; the daemon reads the kernel's table.
    explicit MountTableStorageLister(std::string mountinfo_path = kMountInfoPath,
                                     FileSystemSpaceQuery space_query = query_file_system_space);

    Result<MountedStorage> get_by_id(std::string_view id) const override;
    Result<std::vector<MountedStorage>> list_all() const override;
    Result<std::vector<MountedStorage>> list_by_kind(StorageKind kind) const override;

private:
    std::string mountinfo_path_;
    FileSystemSpaceQuery space_query_;
};

// One mountinfo line as a storage record without sizes, or nothing when the line is filtered
// out or malformed. Octal escapes of the kernel ("\040" for a blank) are decoded.
std::optional<MountedStorage> parse_mountinfo_line(std::string_view line);

// Internal flash for the system's own mount points and flash devices, then USB ("/dev/sd"),
// then memory card ("/dev/mmcblk"), else Unknown.
StorageKind classify_storage(std::string_view mount_point, std::string_view source);

}  // namespace voxapp
