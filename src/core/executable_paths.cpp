#include "core/executable_paths.hpp"

#include <unistd.h>

#include <vector>

#include "core/system_paths.hpp"

namespace voxapp {

namespace {

std::optional<std::string> read_executable_link(std::size_t buffer_size) {
    std::vector<char> buffer(buffer_size);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0) {
        return std::nullopt;
    }
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::optional<std::string> directory_part(const std::optional<std::string>& path) {
    if (!path) {
        return std::nullopt;
    }
    const std::size_t slash = path->rfind('/');
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    return path->substr(0, slash);
}

}  // namespace

std::string settings_directory_of(const std::optional<std::string>& executable) {
    return directory_part(executable).value_or("");
}

std::string application_directory_of(const std::optional<std::string>& executable) {
    if (auto directory = directory_part(executable)) {
        return *directory;
    }
    return system_path("/root/app");
}

std::string settings_directory() {
    return settings_directory_of(read_executable_link(4096));
}

std::string settings_file_path(std::string_view settings_directory) {
    return std::string(settings_directory) + "/settings.ini";
}

std::string application_directory() {
    return application_directory_of(read_executable_link(1024));
}

}  // namespace voxapp
