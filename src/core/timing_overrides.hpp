#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace voxapp {

// The daemon's timing seam for tests and the demo: the environment variable VOXAPP_TIMING holds
// "name=milliseconds" entries separated by ',' that replace the production value of the wait of
// that name (the composition root lists the names). Unknown names and malformed entries are
// ignored; on a router the variable is simply not set.
std::optional<std::chrono::milliseconds> timing_override(std::string_view name);

// The override of `name`, or `fallback`.
inline std::chrono::milliseconds timing_or(std::string_view name,
                                           std::chrono::milliseconds fallback) {
    return timing_override(name).value_or(fallback);
}

}  // namespace voxapp
