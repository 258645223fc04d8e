// voxapp-sim-camera: a stand-in for an IP camera's HTTP API, for the demo, benchmarks and
// manual tests. See kUsage.

#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim_camera/sim_camera.hpp"

namespace {

using namespace voxapp;
using namespace voxapp::sim;

constexpr const char* kUsage =
    "usage: voxapp-sim-camera [options]\n"
    "  --address HOST      listen address (default 127.0.0.1)\n"
    "  --port N            listen port (default 0: any free port, printed on the first line)\n"
    "  --user NAME         digest user (default admin)\n"
    "  --password TEXT     digest password (default camera-pass)\n"
    "  --ready-file PATH   write the port number to PATH once listening\n"
    "  --mac MAC           MAC address reported to discovery (default 02:00:00:11:22:33)\n"
    "  --discovery         answer discovery probes on the interface of --address\n"
    "  --recording S E     a recording from S to E (seconds since 1970, UTC); repeatable\n"
    "  --no-console        ignore standard input; run until SIGINT or SIGTERM\n"
    "Console (one command a line): status N (0: off) | delay MS | malformed on|off |\n"
    "  drop on|off | oversize BYTES | recording S E | clear-recordings | writes | requests |\n"
    "  channel | zone | password TEXT | activated TEXT | advertise IP | probes | quit\n";

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) {
    stop_requested = 1;
}

template <typename Number>
std::optional<Number> number(const std::string& text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<SimRecording> recording(const std::string& start, const std::string& end) {
    auto from = number<long long>(start);
    auto to = number<long long>(end);
    if (!from || !to || *to < *from) {
        return std::nullopt;
    }
    return SimRecording{*from * 1'000'000'000LL, *to * 1'000'000'000LL};
}

// One console line; false to stop.
bool command(SimCamera& camera, std::vector<SimRecording>& recordings, const std::string& line) {
    std::istringstream words(line);
    std::string verb, first, second;
    words >> verb >> first >> second;
    if (verb == "quit") {
        return false;
    }
    if (verb == "status" && number<int>(first)) {
        camera.set_forced_status(*number<int>(first));
    } else if (verb == "delay" && number<int>(first)) {
        camera.set_delay_ms(*number<int>(first));
    } else if (verb == "malformed" && (first == "on" || first == "off")) {
        camera.set_malformed_xml(first == "on");
    } else if (verb == "drop" && (first == "on" || first == "off")) {
        camera.set_drop_connections(first == "on");
    } else if (verb == "hang") {
        // "hang" alone ends it; "hang *" or "hang GET /ISAPI/System/time".
        camera.set_hang(second.empty() ? first : first + " " + second);
    } else if (verb == "hang-after" && !second.empty()) {
        camera.hang_after(first + " " + second);
    } else if (verb == "playback-host") {
        camera.set_playback_host(first);
    } else if (verb == "oversize" && number<std::size_t>(first)) {
        camera.set_oversize_body(*number<std::size_t>(first));
    } else if (verb == "recording" && recording(first, second)) {
        recordings.push_back(*recording(first, second));
        camera.set_recordings(recordings);
    } else if (verb == "clear-recordings") {
        recordings.clear();
        camera.set_recordings(recordings);
    } else if (verb == "writes") {
        for (const SimWrite& write : camera.writes()) {
            std::printf("%s %s\n%s\n", write.method.c_str(), write.path.c_str(),
                        write.body.c_str());
        }
    } else if (verb == "password" && !first.empty()) {
        camera.set_password(first);
    } else if (verb == "activated" && !first.empty()) {
        camera.set_activated(first);
    } else if (verb == "advertise" && !first.empty()) {
        camera.set_advertised_address(first);
    } else if (verb == "probes") {
        std::printf("%zu %s\n", camera.probes(), camera.last_probe_id().c_str());
    } else if (verb == "requests") {
        std::printf("%zu\n", camera.requests());
    } else if (verb == "channel") {
        std::printf("%s\n", camera.channel_xml().c_str());
    } else if (verb == "zone") {
        std::printf("%s\n", camera.time_zone().c_str());
    } else if (!verb.empty()) {
        std::printf("unknown command: %s\n", line.c_str());
    }
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    SimCamera::Options options;
    std::string ready_file;
    bool console = true;
    std::vector<SimRecording> recordings;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool has_value = i + 1 < argc;
        if (word == "--address" && has_value) {
            options.address = argv[++i];
        } else if (word == "--port" && has_value && number<std::uint16_t>(argv[i + 1])) {
            options.port = *number<std::uint16_t>(argv[++i]);
        } else if (word == "--user" && has_value) {
            options.user = argv[++i];
        } else if (word == "--password" && has_value) {
            options.password = argv[++i];
        } else if (word == "--mac" && has_value) {
            options.mac = argv[++i];
        } else if (word == "--discovery") {
            options.discovery = true;
        } else if (word == "--ready-file" && has_value) {
            ready_file = argv[++i];
        } else if (word == "--recording" && i + 2 < argc && recording(argv[i + 1], argv[i + 2])) {
            recordings.push_back(*recording(argv[i + 1], argv[i + 2]));
            i += 2;
        } else if (word == "--no-console") {
            console = false;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    auto camera = SimCamera::start(options);
    if (!camera) {
        std::fprintf(stderr, "voxapp-sim-camera: cannot listen: %s\n",
                     std::strerror(camera.error().code()));
        return 1;
    }
    (*camera)->set_recordings(recordings);
    std::printf("%u\n", static_cast<unsigned>((*camera)->port()));
    std::fflush(stdout);
    if (!ready_file.empty()) {
        std::ofstream(ready_file) << (*camera)->port() << "\n";
    }
    // Without SA_RESTART, so that a signal also ends a console read.
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (console) {
        std::string line;
        while (!stop_requested && std::getline(std::cin, line)) {
            if (!command(**camera, recordings, line)) {
                break;
            }
        }
    } else {
        while (!stop_requested) {
            pause();
        }
    }
    return 0;
}
