#include "system/logging/console_sink.hpp"

namespace voxapp {

void ConsoleSink::write_line(std::string_view line) {
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

}  // namespace voxapp
