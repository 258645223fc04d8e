#pragma once

#include <cstddef>
#include <string_view>

namespace voxapp {

enum class UeventAction { none, add, remove, change, move, bind, unbind };

// One kernel uevent message, as views into the received buffer (valid while it is).
struct Uevent {
    UeventAction action = UeventAction::none;
    std::string_view devpath;
    std::string_view subsystem;
    std::string_view devname;
    std::string_view devtype;
};

// Parses a netlink uevent datagram in place: the header up to the first NUL is skipped, then
// NUL-terminated KEY=VALUE strings are read until an empty string or the end of the data. Strings
// without '=' or starting with '=' are skipped; a key seen twice keeps its last value. Never
// reads past `length`, whether or not the data ends in a NUL.
Uevent parse_uevent(const char* data, std::size_t length);

// Whether a tty uevent names a serial port that can carry an instrument: not a console, pty or
// virtual terminal, and a ttyS, ttyUSB, ttyACM or ttyAMA name.
bool is_serial_port_uevent(const Uevent& event);

}  // namespace voxapp
