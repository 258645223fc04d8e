#include "platform/mount_table_storage_lister.hpp"

#include <array>
#include <cerrno>
#include <utility>

#include "core/file_text.hpp"

namespace voxapp {

namespace {

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (start < line.size()) {
        const std::size_t end = line.find(' ', start);
        const std::size_t stop = end == std::string_view::npos ? line.size() : end;
        if (stop > start) {
            fields.push_back(line.substr(start, stop - start));
        }
        start = stop + 1;
    }
    return fields;
}

bool is_octal_digit(char c) {
    return c >= '0' && c <= '7';
}

// The kernel writes blanks, tabs, line feeds and backslashes in paths as "\ooo".
std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && is_octal_digit(text[i + 1]) &&
            is_octal_digit(text[i + 2]) && is_octal_digit(text[i + 3])) {
            out.push_back(static_cast<char>(((text[i + 1] - '0') << 6) |
                                            ((text[i + 2] - '0') << 3) | (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool is_pseudo_file_system(std::string_view type) {
    return type == "proc" || type == "sysfs" || type == "tmpfs" || type == "devtmpfs";
}

}  // namespace

StorageKind classify_storage(std::string_view mount_point, std::string_view source) {
    constexpr std::array<std::string_view, 5> kSystemMountPoints = {"/", "/rom", "/boot",
                                                                    "/overlay", "/log"};
    for (std::string_view system_mount_point : kSystemMountPoints) {
        if (mount_point == system_mount_point) {
            return StorageKind::Internal;
        }
    }
    if (source == "/dev/root" || source.starts_with("/dev/mtdblock")) {
        return StorageKind::Internal;
    }
    if (source.starts_with("/dev/sd")) {
        return StorageKind::USB;
    }
    if (source.starts_with("/dev/mmcblk")) {
        return StorageKind::MMC;
    }
    return StorageKind::Unknown;
}

std::optional<MountedStorage> parse_mountinfo_line(std::string_view line) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const std::vector<std::string_view> fields = split_fields(line);
    constexpr std::size_t kFirstOptional = 6;
    std::size_t separator = kFirstOptional;
    while (separator < fields.size() && fields[separator] != "-") {
        ++separator;
    }
    if (separator + 2 >= fields.size()) {
        return std::nullopt;
    }
    const std::string_view type = fields[separator + 1];
    const std::string root = unescape(fields[3]);
    std::string source = unescape(fields[separator + 2]);
    if (is_pseudo_file_system(type) || root != "/" || !source.starts_with("/dev/")) {
        return std::nullopt;
    }
    MountedStorage storage;
    storage.mount_point = unescape(fields[4]);
    storage.kind = classify_storage(storage.mount_point, source);
    storage.id = source;
    storage.device = std::move(source);
    return storage;
}

MountTableStorageLister::MountTableStorageLister(std::string mountinfo_path,
                                                 FileSystemSpaceQuery space_query)
    : mountinfo_path_(std::move(mountinfo_path)), space_query_(std::move(space_query)) {}

Result<std::vector<MountedStorage>> MountTableStorageLister::list_all() const {
    // A router's mount table is a few KiB; a megabyte holds thousands of mounts.
    const std::optional<std::string> table = read_file_text(mountinfo_path_, 1 << 20);
    if (!table) {
        return Error::fixed("Failed to open /proc/self/mountinfo", errno);
    }
    std::vector<MountedStorage> storages;
    for (const std::string_view line : text_lines(*table)) {
        std::optional<MountedStorage> storage = parse_mountinfo_line(line);
        if (!storage) {
            continue;
        }
        if (space_query_) {
            if (auto space = space_query_(storage->mount_point); space.ok()) {
                storage->total_bytes = space->total_bytes;
                storage->free_bytes = space->free_bytes;
            }
        }
        storages.push_back(std::move(*storage));
    }
    return storages;
}

Result<std::vector<MountedStorage>> MountTableStorageLister::list_by_kind(StorageKind kind) const {
    auto storages = list_all();
    if (!storages.ok()) {
        return storages;
    }
    std::erase_if(*storages,
                  [kind](const MountedStorage& storage) { return storage.kind != kind; });
    return storages;
}

Result<MountedStorage> MountTableStorageLister::get_by_id(std::string_view id) const {
    auto storages = list_all();
    if (!storages.ok()) {
        return storages.error();
    }
    for (MountedStorage& storage : *storages) {
        if (storage.id == id) {
            return std::move(storage);
        }
    }
    return Error::fixed("Mounted storage with given ID not found");
}

}  // namespace voxapp
