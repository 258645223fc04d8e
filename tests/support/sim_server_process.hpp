#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/console_child.hpp"

namespace voxapp::test {

// The simulated monitoring server binary: $VOXAPP_SIM_SERVER, else the one the build names
// (VOXAPP_SIM_SERVER_PATH), else tools/voxapp-sim-server in the daemon binary's directory.
std::string sim_server_binary();

// One output line of the simulator (its format is described in tools/sim_server/console.hpp).
struct SimLine {
    std::string line;    // as printed, without the line feed
    int connection = 0;  // 0 for the simulator's own "sim ..." reports
    // "connected", "established", "->", "<-" or "closed"; for a report its first word
    // ("listening", "bench", "error", "timeout", ...)
    std::string event;
    std::string kind;  // frames: "PLAIN", "ASCII", "BINARY" or "RAW"
    std::optional<std::uint16_t> id;
    std::optional<std::uint32_t> length;
    bool partial = false;
    std::string text;  // frames: the text with escapes undone; otherwise the rest of the line
};

SimLine parse_sim_line(const std::string& line);

// voxapp-sim-server serve, run as a child with its console on pipes. Its output is read on a
// thread of its own; a test takes the lines it waits for, each at most once, with a bound.
// Members may be called from any thread.
class SimServerProcess {
public:
    // Starts the simulator on 127.0.0.1 with an ephemeral port and a new throw-away CA, writing
    // the CA file to every path of `ca_outputs`, and waits until it listens. Throws
    // std::runtime_error when it does not start.
    explicit SimServerProcess(const std::vector<std::string>& ca_outputs,
                              const std::vector<std::string>& extra_arguments = {});
    // Ends the simulator's input and waits for it to finish; kills it when it does not.
    ~SimServerProcess();
    SimServerProcess(const SimServerProcess&) = delete;
    SimServerProcess& operator=(const SimServerProcess&) = delete;

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return child_->pid(); }

    // Writes one console line.
    void send_line(const std::string& line);
    // Ends the console input: the simulator finishes what it holds, then exits.
    void close_input();
    // The exit status once the process ended, or nullopt on timeout.
    std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);

    // The first line not taken yet that `matches`, which is then taken; waits for it up to
    // `timeout`.
    std::optional<SimLine> take(const std::function<bool(const SimLine&)>& matches,
                                std::chrono::milliseconds timeout);
    // The next connection established; its number.
    std::optional<int> wait_for_established(std::chrono::milliseconds timeout);
    // The next frame that `connection` sent.
    std::optional<SimLine> wait_for_frame(int connection, std::chrono::milliseconds timeout);
    // The closing of `connection`; its line.
    std::optional<SimLine> wait_for_closed(int connection, std::chrono::milliseconds timeout);
    // Sends a frame line ("#...", ">ID ...", "<ID ...") on `connection` and waits for the
    // next frame from it.
    std::optional<SimLine> ask(int connection, const std::string& frame_line,
                               std::chrono::milliseconds timeout);

    // Everything printed so far, for failure messages.
    std::string transcript() const;

private:
    std::unique_ptr<ConsoleChild> child_;
    std::uint16_t port_ = 0;
};

}  // namespace voxapp::test
