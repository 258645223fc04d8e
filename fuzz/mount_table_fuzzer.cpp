// libFuzzer harness for the mount table: the input is a mountinfo file, read line by line and
// through the storage lister.
#include <cstdint>
#include <string_view>

#include "memory_file.hpp"
#include "platform/mount_table_storage_lister.hpp"

using voxapp::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static voxapp::fuzz::MemoryFile file;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::size_t lines = 0;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (const auto storage = voxapp::parse_mountinfo_line(text.substr(at, end - at))) {
            check(storage->device.starts_with("/dev/"), "a source outside /dev kept");
            check(storage->total_bytes == 0 && storage->free_bytes == 0, "sizes from a line");
            ++lines;
        }
        at = end + 1;
    }

    // Sizes come from a query that never touches the real file systems.
    voxapp::MountTableStorageLister lister(
        file.hold(text), [](const std::string&) -> voxapp::Result<voxapp::FileSystemSpace> {
            return voxapp::FileSystemSpace{4096, 1024};
        });
    const auto all = lister.list_all();
    check(all.ok(), "listing a readable table failed");
    check(all->size() <= lines, "more storages than accepted lines");
    for (const auto& storage : *all) {
        const auto found = lister.get_by_id(storage.id);
        check(found.ok(), "a listed storage cannot be found by its id");
    }
    return 0;
}
