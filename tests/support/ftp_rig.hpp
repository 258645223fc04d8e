#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "core/result.hpp"

namespace voxapp::test {

// Debian's vsftpd on 127.0.0.1 of the calling thread's network namespace (enter a private one
// first), with one local account. The account exists only for the server: vsftpd runs in a
// mount namespace of its own where the rig's passwd and shadow files are bound over /etc's, so
// the machine's users are never touched and the password may hold any character but a line
// break. Files the account uploads land in home().
class FtpRig {
public:
    static constexpr const char* kUser = "voxftp";

    // Starts the server and waits (bounded) until it accepts connections. A max_rate above 0
    // limits each session to that many bytes per second, so a test can cut an upload mid-way.
    static Result<std::unique_ptr<FtpRig>> start(const std::string& password,
                                                 std::uint16_t port = 2121,
                                                 std::uint32_t max_rate = 0);
    ~FtpRig();
    FtpRig(const FtpRig&) = delete;
    FtpRig& operator=(const FtpRig&) = delete;

    // "127.0.0.1:PORT": the ftp_address of a publisher that uses this server.
    std::string address() const;
    const std::string& home() const { return home_; }
    // Writes a file into home() owned by the account, as a session would have left it.
    void put(const std::string& name, const std::string& content) const;
    // Kills the server (and with it any session in progress); restart() brings it back with the
    // same account and files.
    void stop();
    Status restart();
    bool running() const { return pid_ > 0; }

private:
    FtpRig() = default;
    Status launch();

    std::string dir_;
    std::string home_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// Whether vsftpd is installed (scripts/setup.sh installs it).
bool vsftpd_available();

}  // namespace voxapp::test

// Skips the test when vsftpd is missing, or fails it in CI.
#define VOXAPP_REQUIRE_VSFTPD()                                               \
    do {                                                                      \
        if (!::voxapp::test::vsftpd_available()) {                            \
            if (::voxapp::test::isolation_is_required()) {                    \
                FAIL() << "vsftpd is not installed (run scripts/setup.sh)";   \
            }                                                                 \
            GTEST_SKIP() << "vsftpd is not installed (run scripts/setup.sh)"; \
        }                                                                     \
    } while (false)
