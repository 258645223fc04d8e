#include "instruments/uevent.hpp"

#include <cstring>

namespace voxapp {

namespace {

UeventAction action_of(std::string_view value) {
    if (value == "add") {
        return UeventAction::add;
    }
    if (value == "remove") {
        return UeventAction::remove;
    }
    if (value == "change") {
        return UeventAction::change;
    }
    if (value == "move") {
        return UeventAction::move;
    }
    if (value == "bind") {
        return UeventAction::bind;
    }
    if (value == "unbind") {
        return UeventAction::unbind;
    }
    return UeventAction::none;
}

}  // namespace

Uevent parse_uevent(const char* data, std::size_t length) {
    Uevent event;
    const char* const end = data + length;
    const char* cursor = static_cast<const char*>(std::memchr(data, '\0', length));
    if (cursor == nullptr) {
        return event;
    }
    ++cursor;
    while (cursor < end) {
        const char* terminator =
            static_cast<const char*>(std::memchr(cursor, '\0', static_cast<std::size_t>(end - cursor)));
        const char* string_end = terminator != nullptr ? terminator : end;
        const std::string_view entry(cursor, static_cast<std::size_t>(string_end - cursor));
        if (entry.empty()) {
            break;
        }
        cursor = string_end + 1;
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            continue;
        }
        const std::string_view key = entry.substr(0, equals);
        const std::string_view value = entry.substr(equals + 1);
        if (key == "ACTION") {
            event.action = action_of(value);
        } else if (key == "DEVPATH") {
            event.devpath = value;
        } else if (key == "SUBSYSTEM") {
            event.subsystem = value;
        } else if (key == "DEVNAME") {
            event.devname = value;
        } else if (key == "DEVTYPE") {
            event.devtype = value;
        }
    }
    return event;
}

bool is_serial_port_uevent(const Uevent& event) {
    const std::string_view name = event.devname;
    if (name == "ptmx" || name == "console" || name == "tty") {
        return false;
    }
    if (event.devpath.find("/virtual/") != std::string_view::npos) {
        return false;
    }
    // The name becomes part of /dev and /sys paths.
    if (name.find('/') != std::string_view::npos) {
        return false;
    }
    return name.starts_with("ttyS") || name.starts_with("ttyUSB") || name.starts_with("ttyACM") ||
           name.starts_with("ttyAMA");
}

}  // namespace voxapp
