#include "instruments/serial_device_tracker.hpp"

#include "instruments/serial_device.hpp"
#include "instruments/usb_device_paths.hpp"

namespace voxapp {

SerialDeviceTracker::SerialDeviceTracker(std::shared_ptr<Logger> logger, UsbTest usb_test,
                                         PortLister lister)
    : logger_(std::move(logger)),
      usb_test_(usb_test ? std::move(usb_test) : UsbTest(is_instrument_usb_device)),
      lister_(lister ? std::move(lister) : PortLister(list_serial_ports)) {}

void SerialDeviceTracker::on_connected(const std::string& name) {
    if (known_.contains(name) || name.find('/') != std::string::npos || !usb_test_(name)) {
        return;
    }
    known_.insert(name);
    if (added_) {
        added_(name);
    } else {
        logger_->warning("No callback set for added devices, but device " + name + " was added.");
    }
}

void SerialDeviceTracker::on_disconnected(const std::string& name) {
    if (known_.erase(name) == 0) {
        return;
    }
    if (removed_) {
        removed_(name);
    } else {
        logger_->warning("No callback set for removed devices, but device " + name +
                         " was removed.");
    }
}

void SerialDeviceTracker::scan() {
    for (const std::string& name : lister_()) {
        on_connected(name);
    }
}

}  // namespace voxapp
