#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/result.hpp"

namespace voxapp::sim {

// A small FTP server with one account, for tests that need to break an upload at a chosen
// byte: it serves what curl sends for a size query, an upload (STOR, or APPE to resume) and a
// rename, in passive mode on 127.0.0.1 of the network namespace it was started in, one session
// at a time, on a thread of its own. Files live directly in home().
//
// Every member is safe to call from any thread while the server runs.
class FtpPeer {
public:
    // How a planned cut ends an upload once the given number of bytes is stored.
    enum class Cut {
        // Both connections close at once, as when the server dies: curl reports a failure and
        // does not retry by itself.
        drop,
        // The rest of the data is read and thrown away, then "426" answers the transfer: a
        // transient failure, the kind that curl's own --retry repeats.
        reply_426,
    };

    // Binds 127.0.0.1 on any free port and starts the thread. Error: errno of socket, bind or
    // listen.
    static Result<std::unique_ptr<FtpPeer>> start(std::string user, std::string password,
                                                  std::string home);
    ~FtpPeer();
    FtpPeer(const FtpPeer&) = delete;
    FtpPeer& operator=(const FtpPeer&) = delete;

    // "127.0.0.1:PORT".
    std::string address() const;
    const std::string& home() const { return home_; }
    // Cuts the next upload into `file` after `bytes` stored; the cuts planned for one file
    // apply to its uploads in the order planned.
    void plan_cut(const std::string& file, std::uint64_t bytes, Cut how);
    // Uploads begun so far (STOR and APPE).
    int uploads() const { return uploads_.load(); }

private:
    struct PlannedCut {
        std::string file;
        std::uint64_t bytes;
        Cut how;
    };
    FtpPeer(int listen_fd, std::uint16_t port, std::string user, std::string password,
            std::string home);
    void serve();
    void session(int control);

    int listen_fd_;
    std::uint16_t port_;
    std::string user_;
    std::string password_;
    std::string home_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> uploads_{0};
    mutable std::mutex mutex_;
    std::deque<PlannedCut> cuts_;
    std::thread thread_;
};

}  // namespace voxapp::sim
