#pragma once

#include <string>
#include <string_view>

namespace voxapp {

// Every fixed absolute path of the system ("/root/app/...", "/etc/config", "/dev/...", ...) goes
// through here. When the environment variable VOXAPP_ROOT names a directory, the path is taken
// below it, which is how tests and the demo run the daemon on an ordinary PC. "/proc" paths are
// the kernel's and are never relocated. Relative paths are returned unchanged.
std::string system_path(std::string_view absolute);

// The relocation root: VOXAPP_ROOT without trailing '/', or empty.
std::string system_root();

}  // namespace voxapp
