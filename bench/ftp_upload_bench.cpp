// The FTP publisher's upload of a 50 MiB file to vsftpd in a private network namespace, against
// a plain `curl -T` of the same file to the same server in the same run. Each measure is the
// median of a few runs; the ratio is publisher time / curl time (the publisher's three curl runs,
// the size query and the rename, against one). Needs root (the namespace) and vsftpd.
//   ftp_upload_bench [runs, default 5] [MiB, default 50]
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/single_quoted.hpp"
#include "recordings/curl_ftp_file_publisher.hpp"
#include "support/ftp_rig.hpp"
#include "support/network_namespace.hpp"
#include "support/temp_dir.hpp"
#include "system/events/event_dispatcher.hpp"

using namespace voxapp;
using Clock = std::chrono::steady_clock;

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::size_t mebibytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 50;
    if (!test::enter_private_network()) {
        std::fprintf(stderr, "needs a private network namespace (run as root)\n");
        return 1;
    }
    if (!test::vsftpd_available()) {
        std::fprintf(stderr, "vsftpd is not installed (scripts/setup.sh)\n");
        return 1;
    }
    test::TempDir root;
    ::setenv("VOXAPP_ROOT", root.path().c_str(), 1);
    auto ftp = test::FtpRig::start("bench-pass");
    if (!ftp) {
        std::fprintf(stderr, "vsftpd: %s\n", ftp.error().message_text().c_str());
        return 1;
    }
    const std::string local = root / "upload.MP4";
    {
        std::ofstream file(local, std::ios::binary);
        std::string block(1024 * 1024, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>(i * 31 % 251);
        }
        for (std::size_t i = 0; i < mebibytes; ++i) {
            file << block;
        }
    }
    auto loop = *EventLoop::create();
    auto clients =
        *ClientService::create(std::shared_ptr<EventDispatcher>(*EventDispatcher::create()),
                               *InMemoryClientStore::create());
    (void)clients->set_credentials(1, test::FtpRig::kUser, "bench-pass");
    auto publisher = *CurlFtpFilePublisher::create(clients, loop, nullptr, (*ftp)->address());

    std::vector<double> published;
    std::vector<double> plain;
    for (int run = 0; run < runs; ++run) {
        const std::string name = "P" + std::to_string(run) + ".MP4";
        std::optional<Status> outcome;
        const auto start = Clock::now();
        publisher->publish(1, local, name, [&](Status result) { outcome = result; });
        while (!outcome) {
            (void)loop.poll(100);
        }
        published.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (!*outcome) {
            std::fprintf(stderr, "publisher: %s\n", outcome->error().message_text().c_str());
            return 1;
        }

        const std::string command =
            "curl -s -f -T " + single_quoted(local) + " -u " +
            single_quoted(std::string(test::FtpRig::kUser) + ":bench-pass") + " " +
            single_quoted("ftp://" + (*ftp)->address() + "/C" + std::to_string(run) + ".MP4");
        const auto plain_start = Clock::now();
        const int status = std::system(command.c_str());
        plain.push_back(std::chrono::duration<double>(Clock::now() - plain_start).count());
        if (status != 0) {
            std::fprintf(stderr, "curl -T failed: %d\n", status);
            return 1;
        }
        std::filesystem::remove((*ftp)->home() + "/" + name);
        std::filesystem::remove((*ftp)->home() + "/C" + std::to_string(run) + ".MP4");
    }
    const double megabytes = static_cast<double>(mebibytes);
    const double p = median(published);
    const double c = median(plain);
    std::printf("%zu MiB to vsftpd on loopback, median of %d runs\n", mebibytes, runs);
    std::printf("  publisher (size query, upload, rename): %.3f s  %.1f MiB/s\n", p, megabytes / p);
    std::printf("  plain curl -T:                          %.3f s  %.1f MiB/s\n", c, megabytes / c);
    std::printf("  ratio publisher / curl -T: %.2f\n", p / c);
    return 0;
}
