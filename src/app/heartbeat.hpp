#pragma once

#include <cstdint>
#include <string>

#include "core/result.hpp"

namespace voxapp {

// Replaces the heartbeat file's content with the UTC time of `epoch_seconds` as
// "%Y%m%d%H%M%S" (14 digits, no line feed). Fails unless the whole text was written.
Status write_heartbeat_file(const std::string& path, std::int64_t epoch_seconds);

}  // namespace voxapp
