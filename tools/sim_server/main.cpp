// voxapp-sim-server: a stand-in for the monitoring server, for tests, the demo and benchmarks.
// See console.hpp for the line protocol and usage() for the command line.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "sim_server/console.hpp"
#include "sim_server/monitoring_server.hpp"
#include "sim_server/root_builder.hpp"
#include "sim_server/throwaway_pki.hpp"

namespace {

using namespace voxapp;
using namespace voxapp::sim;

constexpr const char* kUsage =
    "usage:\n"
    "  voxapp-sim-server serve [options]      run the server; the console reads standard input\n"
    "    --address HOST        listen address (default 127.0.0.1)\n"
    "    --port N              listen port (default 0: any free port, reported on the first "
    "line)\n"
    "    --pki DIR             keep the throw-away CA and server identity in DIR (made there "
    "when\n"
    "                          missing or about to expire); default: a new one in memory\n"
    "    --ca-out PATH         write the CA file (certificate and CRL) that devices trust to "
    "PATH;\n"
    "                          may be given many times\n"
    "    --ready-file PATH     write the port number to PATH once listening\n"
    "    --log FILE            append every output line to FILE too\n"
    "    --lockstep            start with :lockstep on\n"
    "    --no-console          ignore standard input; run until SIGINT or SIGTERM\n"
    "  voxapp-sim-server make-root DIR --daemon PATH [options]   write a router-like tree\n"
    "    --port N (8006)  --address HOST (127.0.0.1)  --serial N (4321)  --zone NAME "
    "(Europe/Berlin)\n"
    "    --ca FILE (default: a new PKI in DIR/sim-pki)  --level LEVEL (debug)  --depth DEPTH "
    "(data)\n"
    "    --heartbeat SECONDS (60)  --timeout SECONDS (300)  --no-gps-fix\n"
    "Console commands: type :help once it runs.\n";

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) {
    stop_requested = 1;
}

template <typename Number>
std::optional<Number> parse_number(const std::string& text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "voxapp-sim-server: %s\n", message.c_str());
    return 2;
}

// Walks the options after the subcommand; `take` receives each option and a way to read its
// value and returns false for an unknown option.
class Arguments {
public:
    Arguments(int argc, char** argv, int first) : words_(argv + first, argv + argc) {}

    bool done() const { return at_ >= words_.size(); }
    std::string next() { return words_[at_++]; }
    std::optional<std::string> value() {
        if (done()) {
            return std::nullopt;
        }
        return next();
    }

private:
    std::vector<std::string> words_;
    std::size_t at_ = 0;
};

int make_root(int argc, char** argv) {
    Arguments arguments(argc, argv, 2);
    RootOptions options;
    while (!arguments.done()) {
        const std::string word = arguments.next();
        const auto needs = [&](const char* what) -> std::optional<std::string> {
            auto value = arguments.value();
            if (!value) {
                std::fprintf(stderr, "voxapp-sim-server: %s needs %s\n", word.c_str(), what);
            }
            return value;
        };
        std::optional<std::string> value;
        if (word == "--no-gps-fix") {
            options.gps_fix = false;
            continue;
        }
        if (word.rfind("--", 0) != 0) {
            if (!options.directory.empty()) {
                return fail("more than one directory: " + word);
            }
            options.directory = word;
            continue;
        }
        if (!(value = needs("a value"))) {
            return 2;
        }
        if (word == "--daemon") {
            options.daemon = *value;
        } else if (word == "--ca") {
            options.ca_file = *value;
        } else if (word == "--address") {
            options.address = *value;
        } else if (word == "--zone") {
            options.zone = *value;
        } else if (word == "--level") {
            options.min_level = *value;
        } else if (word == "--depth") {
            options.depth = *value;
        } else if (word == "--port") {
            const auto port = parse_number<std::uint16_t>(*value);
            if (!port || *port == 0) {
                return fail("--port needs a number 1-65535");
            }
            options.port = *port;
        } else if (word == "--serial") {
            const auto serial = parse_number<std::uint32_t>(*value);
            if (!serial) {
                return fail("--serial needs an unsigned 32-bit number");
            }
            options.serial = *serial;
        } else if (word == "--heartbeat" || word == "--timeout") {
            const auto seconds = parse_number<int>(*value);
            if (!seconds || *seconds < 0 || (word == "--timeout" && *seconds > 65535)) {
                return fail(word + " needs a number of seconds");
            }
            (word == "--heartbeat" ? options.heartbeat_seconds : options.idle_timeout_seconds) =
                *seconds;
        } else {
            return fail("unknown option " + word + "\n" + kUsage);
        }
    }
    if (options.directory.empty() || options.daemon.empty()) {
        return fail(std::string("make-root needs DIR and --daemon PATH\n") + kUsage);
    }
    if (Status built = build_root(options); !built) {
        return fail(built.error().message_text());
    }
    std::printf("root %s (VOXAPP_ROOT), daemon %s/root/app/voxapp, server %s:%u\n",
                options.directory.c_str(), options.directory.c_str(), options.address.c_str(),
                static_cast<unsigned>(options.port));
    return 0;
}

void install_stop_handlers(sigset_t& unblocked) {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The signals stay blocked except inside ppoll, so none can slip in between the check of
    // stop_requested and the wait.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &unblocked);
    sigdelset(&unblocked, SIGINT);
    sigdelset(&unblocked, SIGTERM);
}

int serve(int argc, char** argv) {
    Arguments arguments(argc, argv, 2);
    MonitoringServer::Options options;
    std::string pki_dir;
    std::vector<std::string> ca_outputs;
    std::string ready_file;
    std::string log_file;
    bool lockstep = false;
    bool console_input = true;
    while (!arguments.done()) {
        const std::string word = arguments.next();
        if (word == "--lockstep") {
            lockstep = true;
            continue;
        }
        if (word == "--no-console") {
            console_input = false;
            continue;
        }
        const auto value = arguments.value();
        if (!value) {
            return fail(word + " needs a value\n" + kUsage);
        }
        if (word == "--address") {
            options.address = *value;
        } else if (word == "--port") {
            const auto port = parse_number<std::uint16_t>(*value);
            if (!port) {
                return fail("--port needs a number 0-65535");
            }
            options.port = *port;
        } else if (word == "--pki") {
            pki_dir = *value;
        } else if (word == "--ca-out") {
            ca_outputs.push_back(*value);
        } else if (word == "--ready-file") {
            ready_file = *value;
        } else if (word == "--log") {
            log_file = *value;
        } else {
            return fail("unknown option " + word + "\n" + kUsage);
        }
    }

    auto pki = pki_dir.empty() ? ThrowawayPki::create() : ThrowawayPki::load_or_create(pki_dir);
    if (!pki) {
        return fail(pki.error().message_text());
    }
    for (const auto& path : ca_outputs) {
        if (Status written = pki->write_ca_file(path); !written) {
            return fail(written.error().message_text());
        }
    }
    const int log_fd =
        log_file.empty() ? -1
                         : open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (!log_file.empty() && log_fd < 0) {
        return fail("cannot open " + log_file + ": " + std::strerror(errno));
    }

    sigset_t unblocked;
    install_stop_handlers(unblocked);

    Console console(STDOUT_FILENO, log_fd);
    auto server = MonitoringServer::create(options, *pki, console);
    if (!server) {
        return fail(server.error().message_text());
    }
    console.attach(**server);
    console.report("listening " + (*server)->address() + ":" + std::to_string((*server)->port()));
    for (const auto& path : ca_outputs) {
        console.report("ca " + path);
    }
    if (!ready_file.empty()) {
        // Renamed into place so that a reader never sees a half-written port.
        const std::string temporary = ready_file + ".new";
        std::ofstream(temporary) << (*server)->port() << "\n";
        std::filesystem::rename(temporary, ready_file);
    }
    if (lockstep) {
        console.on_input(":lockstep on\n");
    }
    if (console_input && isatty(STDIN_FILENO)) {
        console.report("type a frame such as #1,U?,N?; or >7 #7,GP; (:help for more, :quit ends)");
    }

    bool input_open = console_input;
    if (console_input) {
        fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    }
    std::vector<pollfd> fds;
    while (stop_requested == 0 && !console.finished()) {
        fds.clear();
        (*server)->poll_set(fds);
        const std::size_t input_slot = fds.size();
        if (input_open) {
            fds.push_back({STDIN_FILENO, POLLIN, 0});
        }
        std::optional<Clock::time_point> deadline = (*server)->next_deadline();
        if (const auto console_deadline = console.next_deadline();
            console_deadline && (!deadline || *console_deadline < *deadline)) {
            deadline = console_deadline;
        }
        timespec timeout{};
        timespec* wait = nullptr;
        if (deadline) {
            const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
            const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = nanos / 1'000'000'000;
            timeout.tv_nsec = nanos % 1'000'000'000;
            wait = &timeout;
        }
        if (ppoll(fds.data(), fds.size(), wait, &unblocked) < 0) {
            if (errno != EINTR) {
                return fail(std::string("poll: ") + std::strerror(errno));
            }
            continue;
        }
        (*server)->dispatch(fds);
        if (input_open && fds[input_slot].revents != 0) {
            char buffer[4096];
            const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
            if (count > 0) {
                console.on_input(std::string_view(buffer, static_cast<std::size_t>(count)));
            } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
                input_open = false;
                console.on_input_end();
            }
        }
        console.tick();
    }
    console.report("bye");
    const int status = console.exit_status();
    server->reset();
    if (log_fd >= 0) {
        close(log_fd);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve") {
        return serve(argc, argv);
    }
    if (mode == "make-root") {
        return make_root(argc, argv);
    }
    if (mode == "help" || mode == "--help" || mode == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return fail("expected serve, make-root or help\n" + std::string(kUsage));
}
