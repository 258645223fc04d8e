#pragma once

#include <string>

#include "core/result.hpp"

namespace voxapp {

// The two paths an instrument's port needs, as the router names them; they are relocated below
// VOXAPP_ROOT only where they are opened.
struct DevicePaths {
    std::string tty_path;  // "/dev/" + tty name
    std::string usb_node;  // usbfs node of the carrying USB device; empty when unknown
};

// The sysfs directory of the USB device that carries tty `name`: the class entry
// /sys/class/tty/<name> resolved, four components up. Empty when there is none.
std::string usb_device_directory(const std::string& name);

// Whether the USB device carrying tty `name` is an instrument (vendor 0x0017, product 0x0001 or
// 0x0002). Unreadable files fail the test.
bool is_instrument_usb_device(const std::string& name);

// The usbfs node ("/dev/bus/usb/001/004") from the DEVNAME line of the USB device's uevent file;
// empty when there is none.
std::string usb_device_node(const std::string& name);

// The tty node and USB node of `name`; ENOENT when the tty node does not exist.
Result<DevicePaths> resolve_device_paths(const std::string& name);

}  // namespace voxapp
