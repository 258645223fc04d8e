#pragma once

#include <chrono>
#include <memory>
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
    // A new ubusd on the same socket (without the GPS service); false when it does not serve.
    bool restart_bus();
    // SIGSTOP and SIGCONT to ubusd: a bus that accepts connections but answers nothing.
    void pause_bus();
    void resume_bus();

    // "ubus -s SOCKET -t SECONDS call OBJECT METHOD": its standard output, or nullopt when it
    // failed or did not end in time. Empty when the build has no ubus command-line tool.
    std::optional<std::string> call(const std::string& object, const std::string& method,
                                    int timeout_seconds = 3) const;
    // "ubus -s SOCKET listen": what it prints is in its output.
    std::unique_ptr<ChildProcess> listen() const;

    std::string diagnostics() const;

private:
    std::string socket_;
    std::optional<ChildProcess> ubusd_;
    std::optional<ChildProcess> gps_;
    bool ready_ = false;
};

}  // namespace voxapp::test
