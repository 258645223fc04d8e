#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace voxapp::sim {

// A measuring instrument on a USB serial line, for tests and the demo: a pseudo-terminal whose
// slave side appears as <root>/dev/<tty> with the sysfs picture of a USB serial converter under
// <root>/sys, announced to the daemon by kernel-style uevents on the netlink group of the
// caller's network namespace. Single-threaded: the owner calls poll_once in its loop.
class InstrumentSimulator {
public:
    struct Options {
        std::string root;  // the daemon's VOXAPP_ROOT
        std::string tty = "ttyUSB0";
        std::uint32_t unit_type = 100;
        std::uint32_t serial = 5001;
        unsigned vendor = 0x0017;
        unsigned product = 0x0001;
        std::string usb_bus = "001";
        std::string usb_device = "004";
    };
    // Receives one report line ("plugged ...", "cmd ...", "tx ...", "reset", ...).
    using Report = std::function<void(const std::string& line)>;

    InstrumentSimulator(Options options, Report report);
    ~InstrumentSimulator();

    // Creates the line and the sysfs picture, then announces it ("add").
    bool plug(bool announce = true);
    // Announces the removal ("remove"), then takes the line and its /dev node away.
    void unplug(bool announce = true);
    // Closes the line without any announcement, as a device that dies under the daemon.
    void vanish();
    bool plugged() const { return master_ >= 0; }

    void set_hello(bool answer) { answer_hello_ = answer; }
    void set_hello_reply(std::string reply) { hello_reply_ = std::move(reply); }
    void set_silent(bool silent) { silent_ = silent; }
    // Replies go out in pieces of `bytes` with `pause_ms` between them (0: whole).
    void set_split(std::size_t bytes, int pause_ms) {
        split_bytes_ = bytes;
        split_pause_ms_ = pause_ms;
    }
    // A command starting with `prefix` is answered with `reply` (the latest rule wins).
    void add_rule(std::string prefix, std::string reply) {
        rules_[std::move(prefix)] = std::move(reply);
    }
    // Bytes sent unasked.
    void send(const std::string& bytes);
    // `bytes` sent unasked every `period_ms` (0: never), as an instrument that keeps talking.
    void set_chatter(int period_ms, std::string bytes) {
        chatter_ms_ = period_ms;
        chatter_ = std::move(bytes);
    }
    // Stops (or restarts) the line's output, as an instrument holding flow control: the daemon's
    // writes find the line full.
    bool set_stalled(bool stalled);
    // Bytes sent to the daemon that it has not read yet.
    int unread() const;
    // Whether a USB reset re-enumerates the instrument (its tty goes and comes back); off, the
    // reset is seen but the line stays, as with a tty that survives the reset.
    void set_reenumerate(bool reenumerate) { reenumerate_ = reenumerate; }
    bool send_uevent(const std::string& action);

    // Waits up to `timeout_ms` for the line or the reset node and serves what arrived.
    void poll_once(int timeout_ms);

private:
    bool make_line();
    void close_line();
    void write_sysfs();
    void remove_sysfs();
    void open_reset_node();
    void handle_input(const char* data, std::size_t length);
    void handle_command(const std::string& command);
    void reply(const std::string& text);
    std::string answer_to(const std::string& command);
    std::string usb_port() const;
    std::string devpath() const;

    Options options_;
    Report report_;
    int master_ = -1;
    int slave_ = -1;
    int reset_reader_ = -1;
    std::string slave_name_;
    std::string pending_;
    // A "#9" data command being received: its header and the bytes still to come.
    std::string data_header_;
    std::uint64_t data_left_ = 0;
    std::uint64_t data_length_ = 0;
    std::uint32_t data_hash_ = 0;
    bool answer_hello_ = true;
    std::string hello_reply_;
    bool silent_ = false;
    std::size_t split_bytes_ = 0;
    int split_pause_ms_ = 0;
    std::map<std::string, std::string> rules_;
    int chatter_ms_ = 0;
    std::string chatter_;
    std::chrono::steady_clock::time_point next_chatter_{};
    bool reenumerate_ = true;
};

// "\xNN" and "\\" escapes undone; "\r" and "\n" too.
std::string unescape(const std::string& text);
// Bytes for a report line: printable ASCII as is, '\\' doubled, the rest as "\xNN".
std::string escape(const std::string& bytes);

}  // namespace voxapp::sim
