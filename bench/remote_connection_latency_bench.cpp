// How long a command takes from the server's write to the handler's on_command when it arrives
// after a quiet spell, with the production timing (1 s idle wait). A loop that slept through its
// idle wait would show about half a second here; one that waits for the socket shows the cost of
// a TLS record on loopback.
//
// Usage: remote_connection_latency_bench [samples (default 200)]
// Serves a throw-away certificate on 127.0.0.1; needs the openssl command line.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "server/tcp_remote_connection.hpp"
#include "support/tls_test_certificates.hpp"
#include "support/tls_test_server.hpp"

namespace voxapp {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class ArrivalClock : public RemoteLinkHandler {
public:
    void on_unsolicited(RemoteConnection&, const char*, std::size_t) override {}
    void on_command(RemoteConnection&, std::uint16_t, const char*, std::size_t,
                    CommandExpiry) override {
        {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(Clock::now());
        }
        arrived_.notify_all();
    }
    void on_binary_begin(RemoteConnection&, std::uint16_t, const char*, std::size_t) override {}
    void on_binary_chunk(RemoteConnection&, const char*, std::size_t) override {}
    void on_binary_end(RemoteConnection&, const char*, std::size_t) override {}
    void on_started(RemoteConnection&) override {}

    // The arrival time of command number `index` (from 0), or nothing after `timeout`.
    bool wait_for(std::size_t index, std::chrono::milliseconds timeout, Clock::time_point& at) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, timeout, [&] { return arrivals_.size() > index; })) {
            return false;
        }
        at = arrivals_[index];
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Clock::time_point> arrivals_;
};

double percentile(const std::vector<double>& sorted, double share) {
    const auto index = static_cast<std::size_t>(share * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

int run(std::size_t samples) {
    const test::TlsTestCertificates certificates;
    test::TlsTestServer server(certificates.server);
    ArrivalClock handler;
    Result<std::unique_ptr<TcpRemoteConnection>> created = TcpRemoteConnection::create(
        "127.0.0.1", server.port(), 0, certificates.root_ca_with_crl, {}, [](std::string_view) {});
    if (!created) {
        std::fprintf(stderr, "cannot create the connection\n");
        return 1;
    }
    TcpRemoteConnection& connection = **created;
    connection.set_handler(&handler);
    connection.start();
    if (!server.wait_for_handshakes(1, 10s)) {
        std::fprintf(stderr, "no TLS link within 10 s\n");
        return 1;
    }

    // Quiet spells of varying length, so that the commands land at every point of the idle wait.
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> quiet_ms(50, 150);
    std::vector<double> latencies_ms;
    for (std::size_t i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(quiet_ms(random)));
        const Clock::time_point sent = Clock::now();
        if (!server.send("#1,U?;")) {
            std::fprintf(stderr, "send failed at sample %zu\n", i);
            return 1;
        }
        Clock::time_point arrived;
        if (!handler.wait_for(i, 5s, arrived)) {
            std::fprintf(stderr, "command %zu did not arrive within 5 s\n", i);
            return 1;
        }
        latencies_ms.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
    }
    connection.stop();

    std::sort(latencies_ms.begin(), latencies_ms.end());
    double total = 0;
    for (const double value : latencies_ms) {
        total += value;
    }
    std::printf("first-byte latency after a quiet spell, %zu samples on loopback TLS:\n", samples);
    std::printf("  median %.3f ms  p99 %.3f ms  min %.3f ms  max %.3f ms  mean %.3f ms\n",
                percentile(latencies_ms, 0.5), percentile(latencies_ms, 0.99), latencies_ms.front(),
                latencies_ms.back(), total / static_cast<double>(latencies_ms.size()));
    return 0;
}

}  // namespace
}  // namespace voxapp

int main(int argc, char** argv) {
    const long samples = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200;
    if (samples < 1) {
        std::fprintf(stderr, "usage: %s [samples]\n", argv[0]);
        return 2;
    }
    return voxapp::run(static_cast<std::size_t>(samples));
}
