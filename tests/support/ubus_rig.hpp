#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "support/daemon_process.hpp"

namespace voxapp::test {

// True when the build has libubus, ubusd and the simulated GPS service, so a UbusRig can run.
bool ubus_rig_available();

// The router's system bus under a relocated root: a real ubusd on
// <root>/var/run/ubus/ubus.sock and the simulated GPS service on it, answering from
// <root>/tmp/voxapp-gps-fix (write_gps_fix). Both are stopped, by their pids, when the rig is
// destroyed.
class UbusRig {
public:
    explicit UbusRig(const std::string& root);
    ~UbusRig();
    UbusRig(const UbusRig&) = delete;
    UbusRig& operator=(const UbusRig&) = delete;

    // Whether both came up (ubusd's socket exists and the service said "ready").
    bool ready() const { return ready_; }
    const std::string& socket() const { return socket_; }

    // Ends ubusd (SIGTERM, then waits for it); the GPS service follows it off the bus.
    void stop_bus();

    std::string diagnostics() const;

private:
    std::string socket_;
    std::optional<ChildProcess> ubusd_;
    std::optional<ChildProcess> gps_;
    bool ready_ = false;
};

}  // namespace voxapp::test
