// Requests per second and memory of the camera HTTP client against the simulated camera on
// loopback, with 1 and with 50 requests in flight. Every request is a fresh transfer with digest
// authentication, so each costs two HTTP exchanges (the challenge and the answer), as with a
// real camera.
//
// Usage: camera_http_client_bench [requests per run, default 4000]

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "cameras/async_http_client_using_curl.hpp"
#include "sim_camera/sim_camera.hpp"
#include "system/io/event_loop.hpp"

namespace {

using namespace voxapp;

// A /proc/self/status figure in KiB ("VmRSS", "VmHWM").
long status_kib(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return -1;
}

// The camera runs in a child process so that its memory and CPU stay out of the figures.
pid_t start_camera(std::uint16_t& port) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        auto camera = sim::SimCamera::start({});
        const std::uint16_t bound = camera ? (*camera)->port() : 0;
        (void)write(ready[1], &bound, sizeof bound);
        close(ready[1]);
        if (!camera) {
            _exit(1);
        }
        while (true) {
            pause();
        }
    }
    close(ready[1]);
    port = 0;
    if (read(ready[0], &port, sizeof port) != sizeof port || port == 0) {
        close(ready[0]);
        return -1;
    }
    close(ready[0]);
    return child;
}

struct RunFigures {
    double seconds = 0;
    int failures = 0;
    long rss_peak_kib = 0;
};

RunFigures run(EventLoop& loop, AsyncHttpClient& client, const HttpRequest& request, int total,
               int in_flight) {
    int sent = 0;
    int done = 0;
    RunFigures figures;
    std::function<void(Result<HttpResponse>)> on_done;
    const auto send_next = [&] {
        ++sent;
        if (!client.send(request, on_done).ok()) {
            ++figures.failures;
            ++done;
        }
    };
    on_done = [&](Result<HttpResponse> reply) {
        ++done;
        if (!reply || reply->status != 200) {
            ++figures.failures;
        }
        if (sent < total) {
            send_next();
        }
    };
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < in_flight && sent < total; ++i) {
        send_next();
    }
    long samples = 0;
    while (done < total) {
        if (!loop.poll(100).ok()) {
            break;
        }
        if (++samples % 64 == 0) {
            figures.rss_peak_kib = std::max(figures.rss_peak_kib, status_kib("VmRSS"));
        }
    }
    figures.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    figures.rss_peak_kib = std::max(figures.rss_peak_kib, status_kib("VmRSS"));
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const int total = argc > 1 ? std::atoi(argv[1]) : 4000;
    if (total <= 0) {
        std::fprintf(stderr, "usage: %s [requests per run]\n", argv[0]);
        return 2;
    }
    std::uint16_t port = 0;
    const pid_t camera = start_camera(port);
    if (camera < 0) {
        std::fprintf(stderr, "cannot start the simulated camera\n");
        return 1;
    }
    auto loop = EventLoop::create();
    const long rss_before = status_kib("VmRSS");
    auto client = AsyncHttpClientUsingCurl::create(*loop);
    if (!loop || !client) {
        kill(camera, SIGTERM);
        return 1;
    }
    const long rss_client = status_kib("VmRSS");
    const HttpRequest request =
        HttpRequest::create("http://127.0.0.1:" + std::to_string(port) + "/ISAPI/System/time",
                            "GET")
            ->with_credentials("admin:camera-pass");

    std::printf("requests per run: %d (each a challenge and an authenticated exchange)\n", total);
    std::printf("VmRSS before the client: %ld KiB, after creating it: %ld KiB\n", rss_before,
                rss_client);
    int status = 0;
    for (const int in_flight : {1, 50}) {
        // A short warm-up so that libcurl's one-time set-up is not in the figures.
        (void)run(*loop, **client, request, 50, in_flight);
        const RunFigures figures = run(*loop, **client, request, total, in_flight);
        std::printf(
            "in flight %2d: %7.0f requests/s, %d failures, %.2f s, VmRSS peak %ld KiB, "
            "VmHWM %ld KiB\n",
            in_flight, total / figures.seconds, figures.failures, figures.seconds,
            figures.rss_peak_kib, status_kib("VmHWM"));
        if (figures.failures != 0) {
            status = 1;
        }
    }
    client->reset();
    kill(camera, SIGTERM);
    waitpid(camera, nullptr, 0);
    return status;
}
