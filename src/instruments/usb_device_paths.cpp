#include "instruments/usb_device_paths.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <vector>

#include "core/file_text.hpp"
#include "core/system_paths.hpp"

namespace voxapp {

namespace {

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// A sysfs attribute is a few bytes; anything longer is not one.
std::string read_small_file(const std::string& path) {
    return read_file_text(path, 64).value_or("");
}

bool parse_hex(const std::string& text, unsigned& value) {
    return std::sscanf(text.c_str(), "%x", &value) == 1;
}

}  // namespace

std::string usb_device_directory(const std::string& name) {
    const std::string class_dir = system_path("/sys/class/tty");
    const std::string entry = class_dir + "/" + name;
    if (!exists(class_dir) || !exists(entry + "/device")) {
        return {};
    }
    char resolved[PATH_MAX];
    if (realpath(entry.c_str(), resolved) == nullptr) {
        return {};
    }
    std::string directory = resolved;
    for (int level = 0; level < 4; ++level) {
        const std::size_t slash = directory.rfind('/');
        if (slash == std::string::npos) {
            break;
        }
        directory.erase(slash);
    }
    return exists(directory) ? directory : std::string();
}

bool is_instrument_usb_device(const std::string& name) {
    const std::string directory = usb_device_directory(name);
    if (directory.empty()) {
        return false;
    }
    const std::string vendor_text = read_small_file(directory + "/idVendor");
    const std::string product_text = read_small_file(directory + "/idProduct");
    unsigned vendor = 0;
    unsigned product = 0;
    if (vendor_text.empty() || product_text.empty() || !parse_hex(vendor_text, vendor) ||
        !parse_hex(product_text, product)) {
        return false;
    }
    return vendor == 0x0017 && (product == 0x0001 || product == 0x0002);
}

std::string usb_device_node(const std::string& name) {
    const std::string directory = usb_device_directory(name);
    if (directory.empty()) {
        return {};
    }
    // A uevent file has a handful of short lines; a huge one is not one.
    const std::string uevent = read_file_text(directory + "/uevent", 4096).value_or("");
    const std::vector<std::string_view> lines = text_lines(uevent);
    for (std::size_t index = 0; index < lines.size() && index < 64; ++index) {
        const std::string_view line = lines[index];
        if (line.find("DEVNAME=") == std::string::npos) {
            continue;
        }
        const std::string node(line.substr(line.rfind('=') + 1));
        if (node.empty() || node.find("..") != std::string::npos) {
            return {};
        }
        return "/dev/" + node;
    }
    return {};
}

Result<DevicePaths> resolve_device_paths(const std::string& name) {
    const std::string tty_path = system_path("/dev/" + name);
    if (name.empty() || name.find('/') != std::string::npos || !exists(tty_path)) {
        return Error::from_errno(ENOENT);
    }
    return DevicePaths{"/dev/" + name, usb_device_node(name)};
}

}  // namespace voxapp
