#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>

#include "system/logging/logger.hpp"

namespace voxapp {

// Sits between the serial-port events and the device manager: accepts ttys whose USB device is
// an instrument, remembers them, and reports each acceptance and each removal of an accepted tty
// once. A tty that fails the USB test is asked again at its next addition.
//
// Threads: the main loop thread only (dispatcher subscriptions and the manager's start-up).
class SerialDeviceTracker {
public:
    using Callback = std::function<void(const std::string& tty_name)>;
    // The USB test; replaced by tests.
    using UsbTest = std::function<bool(const std::string& tty_name)>;
    using PortLister = std::function<std::vector<std::string>()>;

    explicit SerialDeviceTracker(std::shared_ptr<Logger> logger, UsbTest usb_test = {},
                                 PortLister lister = {});

    void set_added_callback(Callback callback) { added_ = std::move(callback); }
    void set_removed_callback(Callback callback) { removed_ = std::move(callback); }

    void on_connected(const std::string& name);
    void on_disconnected(const std::string& name);
    // Every serial port present now goes through on_connected.
    void scan();
    // Drops `name` from the accepted set without reporting it, so that its next addition is
    // reported again (for a port that vanished without a removal event).
    void forget(const std::string& name) { known_.erase(name); }

    bool knows(const std::string& name) const { return known_.contains(name); }

private:
    std::shared_ptr<Logger> logger_;
    UsbTest usb_test_;
    PortLister lister_;
    std::set<std::string> known_;
    Callback added_;
    Callback removed_;
};

}  // namespace voxapp
