// Whole-daemon figures for an instrument on a pseudo-terminal: the built voxapp with a simulated
// instrument (tools/sim_instrument) and the simulated monitoring server, in a private network
// namespace when one can be made. Measures
//   - command round trip through the instrument's proxy (median, p99), as the server sees it;
//   - the same round trip while four other instruments, silent, are greeted at once;
//   - private dirty memory (Private_Dirty of /proc/<pid>/smaps_rollup) with one instrument and
//     so one server connection, then with nine, and what each connection beyond the first adds;
//   - a long BINARY "#9" upload through the daemon to the instrument, as a share of the rate a
//     plain copy of the same bytes through a pseudo-terminal reaches in the same run.
//
// Usage: instrument_bench [--commands N (500)] [--upload-bytes N (4194304)]

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process_figures.hpp"
#include "support/instrument_rig.hpp"
#include "support/network_namespace.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::map<std::string, double> key_values(const std::string& text) {
    std::map<std::string, double> values;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        const std::size_t equals = word.find('=');
        if (equals != std::string::npos) {
            values[word.substr(0, equals)] = std::atof(word.c_str() + equals + 1);
        }
    }
    return values;
}

// Bytes per second of a plain copy of `bytes` through a pseudo-terminal in raw mode, in pieces
// of 16 KiB: the ceiling for any program that moves data to an instrument on such a line.
double pty_copy_rate(std::size_t bytes) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return 0;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const std::string piece(16384, 'x');
    const auto start = Clock::now();
    std::thread writer([&] {
        for (std::size_t sent = 0; sent < bytes;) {
            const ssize_t n = write(slave, piece.data(), std::min(piece.size(), bytes - sent));
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
    });
    char buffer[65536];
    for (std::size_t received = 0; received < bytes;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        received += static_cast<std::size_t>(n);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    close(master);
    close(slave);
    return static_cast<double>(bytes) / seconds;
}

int run(int commands, std::size_t upload_bytes) {
    const Status isolated = enter_private_network();
    std::printf("network: %s\n", isolated ? "private namespace" : "shared loopback");
    InstrumentRig rig({});
    SimInstrument& instrument = rig.add_instrument("ttyUSB0", 9001, 105, {}, true);
    rig.start_daemon();
    const auto link = rig.connection_of(9001, 30s);
    if (!link || !instrument.run("on #7,AB => #7,AB,42;")) {
        std::fprintf(stderr, "the instrument did not come up:\n%s", rig.diagnostics().c_str());
        return 1;
    }
    SimServerProcess& server = rig.server();

    // Memory per server connection: eight more instruments, plugged one after the other, each
    // with its own link; every link has answered a command before the figure is taken.
    if (!server.ask(*link, "#7,AB;", 10s)) {
        std::fprintf(stderr, "no reply from the first instrument\n");
        return 1;
    }
    const long long dirty_one = private_dirty_kib(rig.daemon().pid());
    constexpr int kMoreInstruments = 8;
    for (int extra = 1; extra <= kMoreInstruments; ++extra) {
        const std::uint32_t serial = 9001 + static_cast<std::uint32_t>(extra);
        SimInstrument& more = rig.add_instrument("ttyUSB" + std::to_string(extra), serial, 105,
                                                 {"--usb", "001/" + std::to_string(100 + extra)});
        if (!more.run("plug") || !rig.connection_of(serial, 30s)) {
            std::fprintf(stderr, "instrument %u did not come up:\n%s", serial,
                         rig.diagnostics().c_str());
            return 1;
        }
    }
    const long long dirty_nine = private_dirty_kib(rig.daemon().pid());
    std::printf("Private_Dirty with 1 server connection: %lld KiB, with %d: %lld KiB; each "
                "connection beyond the first: %.1f KiB  (target <= 100 KiB: %s)\n",
                dirty_one, 1 + kMoreInstruments, dirty_nine,
                static_cast<double>(dirty_nine - dirty_one) / kMoreInstruments,
                (dirty_nine - dirty_one) / kMoreInstruments <= 100 ? "met" : "MISSED");

    server.send_line(":use " + std::to_string(*link));
    std::map<std::string, double> figures;
    for (const int count : {50, commands}) {
        server.send_line(":bench " + std::to_string(count) + " #7,AB;");
        const auto report = server.take(
            [](const SimLine& line) { return line.event == "bench"; }, 60s + count * 100ms);
        if (!report || report->text.find("failed") != std::string::npos) {
            std::fprintf(stderr, "bench failed: %s\n", report ? report->text.c_str() : "none");
            return 1;
        }
        figures = key_values(report->text);
    }
    std::printf("Round trip through the instrument, %d x #7,AB;: median %.2f ms, p99 %.2f ms\n",
                commands, figures["median_ms"], figures["p99_ms"]);

    // Four instruments plugged at once that never answer the hello: each greeting lasts about
    // 750 ms, all of it while the first instrument is asked.
    constexpr int kGreeted = 4;
    std::vector<SimInstrument*> greeted;
    for (int extra = 0; extra < kGreeted; ++extra) {
        greeted.push_back(&rig.add_instrument(
            "ttyUSB" + std::to_string(20 + extra), 9100 + static_cast<std::uint32_t>(extra), 105,
            {"--usb", "001/" + std::to_string(120 + extra)}));
        if (!greeted.back()->run("hello off")) {
            return 1;
        }
    }
    for (SimInstrument* instrument : greeted) {
        if (!instrument->run("plug")) {
            return 1;
        }
    }
    if (!rig.daemon().wait_for_output("Sending hello to the device: /dev/ttyUSB20", 30s)) {
        std::fprintf(stderr, "the greetings did not start\n");
        return 1;
    }
    server.send_line(":bench 100 #7,AB;");
    const auto greeting_report = server.take(
        [](const SimLine& line) { return line.event == "bench"; }, 60s);
    if (!greeting_report || greeting_report->text.find("failed") != std::string::npos) {
        std::fprintf(stderr, "bench during the greetings failed\n");
        return 1;
    }
    const bool overlapped =
        rig.daemon().output().find("Failed to read the response for hello from /dev/ttyUSB23") ==
        std::string::npos;
    figures = key_values(greeting_report->text);
    std::printf("Round trip while %d instruments are greeted at once, 100 x #7,AB;: median %.2f "
                "ms, p99 %.2f ms, max %.2f ms%s\n",
                kGreeted, figures["median_ms"], figures["p99_ms"], figures["max_ms"],
                overlapped ? "" : " (the greetings ended before the last command)");

    const auto start = Clock::now();
    server.send_line(":long 21 " + std::to_string(upload_bytes) + " 16384");
    const auto data = instrument.wait_for("data ", 600s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!data) {
        std::fprintf(stderr, "the upload did not arrive\n");
        return 1;
    }
    const double daemon_rate = static_cast<double>(upload_bytes) / seconds;
    const double pty_rate = pty_copy_rate(upload_bytes);
    std::printf("Long BINARY upload of %zu bytes: %.2f MiB/s through the daemon, %.2f MiB/s "
                "plain pty copy: %.1f %%\n",
                upload_bytes, daemon_rate / 1048576, pty_rate / 1048576,
                100 * daemon_rate / pty_rate);
    return 0;
}

}  // namespace
}  // namespace voxapp::test

int main(int argc, char** argv) {
    int commands = 500;
    std::size_t upload_bytes = 4 << 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string word = argv[i];
        if (word == "--commands") {
            commands = std::atoi(argv[i + 1]);
        } else if (word == "--upload-bytes") {
            upload_bytes = std::strtoull(argv[i + 1], nullptr, 10);
        }
    }
    return voxapp::test::run(commands, upload_bytes);
}
