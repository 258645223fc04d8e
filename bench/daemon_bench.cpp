// Whole-daemon figures on loopback: the built voxapp, its router unit connected over TLS to the
// simulated monitoring server (tools/sim_server), in a private network namespace when one can
// be made. Measures
//   - command round trip through the router unit (median, p99) over many commands in a row,
//     as the server sees it: from its write of a command to the end of the reply;
//   - the first byte of a reply to a command sent after an idle spell, over several spells;
//   - CPU time used while idle (utime + stime of the whole process from /proc/<pid>/stat) and
//     the wake-ups of its threads meanwhile (context switches of /proc/<pid>/task/*/status);
//   - resident memory (VmRSS) after start-up and after the round trips, and the private dirty
//     memory (Private_Dirty of /proc/<pid>/smaps_rollup) with its one server connection.
// Prints the figures with the targets and whether each is met; exit status 1 when the run
// itself fails (a missed target is reported, not an error).
//
// Usage: daemon_bench [--commands N (1000)] [--idle-seconds S (30)] [--spells N (5)]
//                     [--command FRAME ("#1,U?,N?;")]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process_figures.hpp"
#include "support/daemon_process.hpp"
#include "support/network_namespace.hpp"
#include "support/sim_server_process.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;

struct Options {
    int commands = 1000;
    int idle_seconds = 30;
    int spells = 5;
    std::string command = "#1,U?,N?;";
};

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

// utime + stime of every thread of the process, in clock ticks.
std::optional<long long> cpu_ticks(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end_of_name = stat.rfind(')');
    if (end_of_name == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(end_of_name + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = std::stoll(field);
        } else if (number == 15) {
            stime = std::stoll(field);
        }
    }
    return utime + stime;
}

// VmRSS in KiB.
long resident_kib(pid_t pid) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

std::optional<std::map<std::string, double>> bench(SimServerProcess& server, int count,
                                                   const std::string& frame) {
    server.send_line(":bench " + std::to_string(count) + " " + frame);
    const auto report = server.take([](const SimLine& line) { return line.event == "bench"; },
                                    std::chrono::seconds(30 + count / 10));
    if (!report || report->text.find("failed") != std::string::npos) {
        std::fprintf(stderr, "bench failed: %s\n", report ? report->text.c_str() : "no report");
        return std::nullopt;
    }
    auto values = key_values(report->text);
    if (values["replies"] != count) {
        std::fprintf(stderr, "bench got %g replies of %d\n", values["replies"], count);
        return std::nullopt;
    }
    return values;
}

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

int run(const Options& options) {
    const Status isolated = enter_private_network();
    std::printf("network: %s\n",
                isolated ? "private namespace (loopback only)"
                         : ("host loopback (" + isolated.error().message_text() + ")").c_str());

    TempDir directory;
    const std::string root = directory / "root";
    SimServerProcess server({}, {"--pki", directory / "pki"});
    ChildProcess builder(
        sim_server_binary(),
        {"make-root", root, "--daemon", voxapp_binary(), "--port", std::to_string(server.port()),
         "--ca", directory / "pki/ca.crt", "--level", "debug", "--depth", "normal"},
        {});
    if (builder.wait_for_exit(10s) != 0) {
        std::fprintf(stderr, "make-root failed: %s\n", builder.errors().c_str());
        return 1;
    }
    std::printf(
        "daemon: %s, settings: default logging (debug, no traffic dumps), "
        "remote_connection:true\n",
        voxapp_binary().c_str());

    ChildProcess daemon(root + "/root/app/voxapp", {}, {{"VOXAPP_ROOT", root}});
    const auto connection = server.wait_for_established(20s);
    if (!connection) {
        std::fprintf(stderr, "the daemon did not connect:\n%s\n%s\n", server.transcript().c_str(),
                     daemon.output().c_str());
        return 1;
    }
    if (!server.ask(*connection, options.command, 10s)) {
        std::fprintf(stderr, "no reply to %s\n", options.command.c_str());
        return 1;
    }
    const long rss_started = resident_kib(daemon.pid());

    const auto warm_up = bench(server, 50, options.command);
    const auto round_trips = bench(server, options.commands, options.command);
    if (!warm_up || !round_trips) {
        return 1;
    }
    const long rss_after = resident_kib(daemon.pid());

    // Idle: nothing is sent; the daemon's threads should sleep.
    const long long dirty_kib = private_dirty_kib(daemon.pid());
    const auto ticks_before = cpu_ticks(daemon.pid());
    const long long switches_before = context_switches(daemon.pid());
    const auto idle_start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(options.idle_seconds));
    const auto ticks_after = cpu_ticks(daemon.pid());
    const long long switches_after = context_switches(daemon.pid());
    const double idle_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - idle_start).count();
    if (!ticks_before || !ticks_after) {
        std::fprintf(stderr, "cannot read /proc/%d/stat\n", static_cast<int>(daemon.pid()));
        return 1;
    }
    const double idle_cpu_percent = 100.0 * static_cast<double>(*ticks_after - *ticks_before) /
                                    static_cast<double>(sysconf(_SC_CLK_TCK)) / idle_seconds;
    const double wakeups_per_second =
        static_cast<double>(switches_after - switches_before) / idle_seconds;

    // First byte after an idle spell; the spells differ by a quarter second so that the command
    // lands at different points of whatever period the daemon waits in.
    std::vector<double> first_bytes;
    for (int spell = 0; spell < options.spells; ++spell) {
        std::this_thread::sleep_for(2s + spell * 250ms);
        const auto one = bench(server, 1, options.command);
        if (!one) {
            return 1;
        }
        first_bytes.push_back(one->at("first_byte_median_ms"));
    }
    std::sort(first_bytes.begin(), first_bytes.end());

    const double median = round_trips->at("median_ms");
    const double p99 = round_trips->at("p99_ms");
    const double rss_limit_kib = 10 * 1024;
    std::printf("\ncommand %s, %d round trips in a row (after 50 to warm up):\n",
                options.command.c_str(), options.commands);
    std::printf("  round trip   median %8.3f ms  (target <= 2 ms: %s)\n", median,
                verdict(median <= 2));
    std::printf("               p99    %8.3f ms  (target <= 5 ms: %s)\n", p99, verdict(p99 <= 5));
    std::printf("               min %.3f ms, max %.3f ms, mean %.3f ms\n",
                round_trips->at("min_ms"), round_trips->at("max_ms"), round_trips->at("mean_ms"));
    std::printf("  first byte   median %8.3f ms, p99 %.3f ms\n",
                round_trips->at("first_byte_median_ms"), round_trips->at("first_byte_p99_ms"));
    std::printf("first byte of the reply after %d idle spells of 2-%g s:", options.spells,
                2 + (options.spells - 1) * 0.25);
    for (const double value : first_bytes) {
        std::printf(" %.1f", value);
    }
    std::printf(" ms (median %.1f ms, max %.1f ms)\n", first_bytes[first_bytes.size() / 2],
                first_bytes.back());
    std::printf("idle CPU over %.1f s: %.3f %% of one core  (target <= 1 %%: %s)\n", idle_seconds,
                idle_cpu_percent, verdict(idle_cpu_percent <= 1.0));
    std::printf("idle wake-ups over %.1f s: %.2f per second, all threads  (target <= 2: %s)\n",
                idle_seconds, wakeups_per_second, verdict(wakeups_per_second <= 2.0));
    std::printf("Private_Dirty with 1 server connection: %lld KiB\n", dirty_kib);
    std::printf("VmRSS after start-up: %ld KiB  (target <= 10 MiB: %s)\n", rss_started,
                verdict(rss_started <= rss_limit_kib));
    std::printf("VmRSS after %d commands: %ld KiB  (target <= 10 MiB: %s)\n", options.commands + 51,
                rss_after, verdict(rss_after <= rss_limit_kib));
    return 0;
}

}  // namespace
}  // namespace voxapp::test

int main(int argc, char** argv) {
    voxapp::test::Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--commands") {
            options.commands = std::max(1, std::atoi(value.c_str()));
        } else if (option == "--idle-seconds") {
            options.idle_seconds = std::max(1, std::atoi(value.c_str()));
        } else if (option == "--spells") {
            options.spells = std::max(1, std::atoi(value.c_str()));
        } else if (option == "--command") {
            options.command = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    return voxapp::test::run(options);
}
