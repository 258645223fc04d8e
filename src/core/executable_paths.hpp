#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace voxapp {

// Where the running executable lives, from the link "/proc/self/exe".

// The directory that holds settings.ini: everything before the last '/' of the executable's
// path, or empty when the link cannot be read or holds no '/'.
std::string settings_directory();
std::string settings_file_path(std::string_view settings_directory);

// The directory of the device count file: the executable's directory, or "/root/app" (under
// VOXAPP_ROOT) when the link cannot be read or holds no '/'.
std::string application_directory();

// The pure rules behind the two, for a link target (nullopt: the link could not be read).
std::string settings_directory_of(const std::optional<std::string>& executable);
std::string application_directory_of(const std::optional<std::string>& executable);

}  // namespace voxapp
