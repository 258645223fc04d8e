#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "support/daemon_process.hpp"
#include "support/sim_server_process.hpp"
#include "support/ubus_rig.hpp"

namespace voxapp::test {

struct ServerLinkSettings {
    int idle_timeout_seconds = 300;
    std::string extra_settings;  // more settings.ini lines, each ending in a line feed
};

// Completes `root` for a daemon whose router unit talks to a simulated server on
// 127.0.0.1:`port`: settings.ini (the server, the remote connection logged with its traffic at
// DATA, no heartbeat), numberOfDevices 0 so that the router unit registers, and a stub
// /etc/init.d/system that appends its arguments to /tmp/init.d-system.calls. The CA file is
// the simulator's to write.
void prepare_server_link(const DaemonRoot& root, std::uint16_t port,
                         const ServerLinkSettings& settings = {});

// Replaces the fix that the simulated GPS service answers with (written beside and renamed, so
// the service never reads half a file). Empty `lines`: the file is removed, and the service
// answers that it has no fix.
void write_gps_fix(const DaemonRoot& root, const std::string& lines);

// A simulated server and one daemon whose router unit connects to it. Everything runs inside
// the caller's network namespace: enter a private one first (VOXAPP_ENTER_PRIVATE_NETWORK).
class RouterUnitSession {
public:
    // Starts the simulator, completes the root for it (plus a live GPS fix), starts the root's
    // system bus with the simulated GPS service (when the build has them) and the daemon.
    explicit RouterUnitSession(const ServerLinkSettings& settings = {});
    ~RouterUnitSession();
    RouterUnitSession(const RouterUnitSession&) = delete;
    RouterUnitSession& operator=(const RouterUnitSession&) = delete;

    // Waits until the router unit's TLS link is established; false on timeout.
    bool wait_until_connected(std::chrono::milliseconds timeout);
    // The simulator's number for the router unit's current link (after wait_until_connected).
    int connection() const { return connection_; }

    // Sends a frame line on the router unit's link and returns the next frame it sends back.
    std::optional<SimLine> ask(const std::string& frame_line,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10));

    DaemonRoot& root() { return root_; }
    SimServerProcess& server() { return *server_; }
    UbusRig& bus() { return *bus_; }
    ChildProcess& daemon() { return *daemon_; }

    // The daemon's console and error output and the simulator's transcript.
    std::string diagnostics() const;

private:
    DaemonRoot root_;
    std::unique_ptr<SimServerProcess> server_;
    std::unique_ptr<UbusRig> bus_;
    std::optional<ChildProcess> daemon_;
    int connection_ = 0;
};

}  // namespace voxapp::test
