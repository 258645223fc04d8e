#include "platform/time_zone_table.hpp"

#include "core/file_text.hpp"

namespace voxapp {

TimeZoneTable load_time_zone_table(const std::string& path) {
    TimeZoneTable table;
    // A table of every zone on earth is a few dozen KiB.
    const std::string text = read_file_text(path, 1 << 20).value_or("");
    for (const std::string_view line : text_lines(text)) {
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        table.insert_or_assign(std::string(line.substr(0, equals)),
                               std::string(line.substr(equals + 1)));
    }
    return table;
}

}  // namespace voxapp
