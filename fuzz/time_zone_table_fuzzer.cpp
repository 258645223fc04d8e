// libFuzzer harness for the time zone table file: the input is the file.
#include <cstdint>
#include <string_view>

#include "memory_file.hpp"
#include "platform/time_zone_table.hpp"

using voxapp::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static voxapp::fuzz::MemoryFile file;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const voxapp::TimeZoneTable table = voxapp::load_time_zone_table(file.hold(text));
    for (const auto& [name, posix] : table) {
        check(name.find('=') == std::string::npos, "a name holding '='");
        check(name.find('\n') == std::string::npos && posix.find('\n') == std::string::npos,
              "an entry spanning lines");
        check(text.find(name + "=" + posix) != std::string_view::npos, "an entry not in the file");
    }
    return 0;
}
