#pragma once

#include <openssl/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "support/tls_test_certificates.hpp"

namespace voxapp::test {

// A TLS server on 127.0.0.1 with an ephemeral port, for tests of a TLS client. It serves one
// link at a time (a new connection replaces the current link) on its own thread, keeps what the
// current link received and counts what happened, so that a test can wait for an event with a
// bound. Every member may be called from any thread.
class TlsTestServer {
public:
    struct Options {
        // SO_RCVBUF of accepted sockets; small values make a client's writes back up sooner.
        std::optional<int> receive_buffer;
    };

    // Throws std::runtime_error when the identity cannot be loaded or the socket not set up.
    explicit TlsTestServer(const TlsIdentity& identity, Options options = {});
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    std::uint16_t port() const { return port_; }

    // TCP connections accepted, TLS handshakes completed, and established links that ended
    // (closed by the client, failed, or closed by close_link).
    std::size_t accepted() const;
    std::size_t handshakes() const;
    std::size_t disconnects() const;
    // Whether a link is established now.
    bool has_link() const;

    // Each waits until the count reaches `count` or `timeout` passes; false on timeout.
    bool wait_for_accepted(std::size_t count, std::chrono::milliseconds timeout) const;
    bool wait_for_handshakes(std::size_t count, std::chrono::milliseconds timeout) const;
    bool wait_for_disconnects(std::size_t count, std::chrono::milliseconds timeout) const;
    // Waits until the current link has received at least `count` bytes.
    bool wait_for_received(std::size_t count, std::chrono::milliseconds timeout) const;

    // The bytes the current link has received so far (emptied when a new link is established).
    std::string received() const;

    // Writes `bytes` on the current link; false when there is none or the write failed.
    bool send(std::string_view bytes);
    // Closes the current link (TLS close_notify, then the socket).
    void close_link();
    // Stops or resumes reading from the current and later links.
    void set_reading(bool reading);

private:
    void serve();
    void accept_link();
    void read_link();
    void end_link();
    // Runs `task` on the server thread and waits for it.
    void run_on_server(std::function<void()> task);
    bool wait(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

    SSL_CTX* context_ = nullptr;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::deque<std::function<void()>> tasks_;
    std::size_t accepted_ = 0;
    std::size_t handshakes_ = 0;
    std::size_t disconnects_ = 0;
    bool reading_ = true;
    bool has_link_ = false;
    std::string received_;

    // Server thread only.
    SSL* link_ = nullptr;
    int link_fd_ = -1;

    std::thread thread_;
};

}  // namespace voxapp::test
