#include "platform/time_zone_table.hpp"

#include <fstream>

namespace voxapp {

TimeZoneTable load_time_zone_table(const std::string& path) {
    TimeZoneTable table;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        table.insert_or_assign(line.substr(0, equals), line.substr(equals + 1));
    }
    return table;
}

}  // namespace voxapp
