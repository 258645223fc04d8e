#include "core/system_paths.hpp"

#include <cstdlib>

namespace voxapp {

std::string system_root() {
    const char* root = std::getenv("VOXAPP_ROOT");
    if (root == nullptr) {
        return {};
    }
    std::string text(root);
    while (!text.empty() && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

std::string system_path(std::string_view absolute) {
    if (absolute.empty() || absolute.front() != '/' || absolute == "/proc" ||
        absolute.starts_with("/proc/")) {
        return std::string(absolute);
    }
    return system_root() + std::string(absolute);
}

}  // namespace voxapp
