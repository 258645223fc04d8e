#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/console_child.hpp"
#include "support/daemon_process.hpp"
#include "support/sim_server_process.hpp"
#include "support/ubus_rig.hpp"

namespace voxapp::test {

// The simulated instrument binary, beside the server simulator.
std::string sim_instrument_binary();

// voxapp-sim-instrument for one tty of a daemon root. Its report lines: "plugged TTY PTS",
// "unplugged TTY", "cmd TEXT" (a command it received), "data LEN HASH" (the data of a "#9"
// transfer, FNV-1a), "tx TEXT" (what it sent), "reset" (the daemon reset its USB device).
class SimInstrument {
public:
    SimInstrument(const DaemonRoot& root, const std::vector<std::string>& options);

    // Sends a console command and waits for its "ok"; false on an error or timeout.
    bool run(const std::string& command);
    // The next report line starting with `prefix`.
    std::optional<std::string> wait_for(const std::string& prefix,
                                        std::chrono::milliseconds timeout);
    // Whether a report line starting with `prefix` came (without taking it).
    bool saw(const std::string& prefix) const;
    std::string transcript() const { return console_->transcript(); }

private:
    std::unique_ptr<ConsoleChild> console_;
};

// One daemon with its server link to a simulated server and simulated instruments on its ttys,
// all inside the caller's network namespace (enter a private one first).
class InstrumentRig {
public:
    struct Options {
        std::string timing;          // VOXAPP_TIMING for the daemon
        std::string extra_settings;  // settings.ini lines, each ending in '\n'
    };

    explicit InstrumentRig(const Options& options);
    ~InstrumentRig();

    // Starts the root's system bus with the simulated GPS service (write_gps_fix feeds it);
    // false when the build has no ubus.
    bool start_bus();
    // Adds a simulator for `tty` (plugged before the daemon starts when `present`).
    SimInstrument& add_instrument(const std::string& tty, std::uint32_t serial,
                                  std::uint32_t unit_type, const std::vector<std::string>& extra = {},
                                  bool present = false);
    // The daemon's working directory (by default the test's); before start_daemon.
    void set_working_directory(std::string directory) { working_directory_ = std::move(directory); }
    void start_daemon();

    DaemonRoot& root() { return root_; }
    SimServerProcess& server() { return *server_; }
    ChildProcess& daemon() { return *daemon_; }
    // The bus of start_bus; null before.
    UbusRig* bus() { return bus_.get(); }
    std::string count_file() const;

    // The next connection established, and its number; the device behind it answers "#1,N?;"
    // with its serial number.
    std::optional<int> wait_for_connection(std::chrono::milliseconds timeout);
    // The connection whose device answers "#1,N?;" with `serial` (looked for among the
    // connections not yet known, in order).
    std::optional<int> connection_of(std::uint32_t serial, std::chrono::milliseconds timeout);
    std::string diagnostics() const;

private:
    DaemonRoot root_;
    std::unique_ptr<SimServerProcess> server_;
    std::vector<std::unique_ptr<SimInstrument>> instruments_;
    std::unique_ptr<UbusRig> bus_;
    std::optional<ChildProcess> daemon_;
    std::string timing_;
    std::string working_directory_;
};

}  // namespace voxapp::test
