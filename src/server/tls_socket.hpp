#pragma once

#include <openssl/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "server/tls_client_context.hpp"
#include "server/tls_connection_timing.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// One TLS link to the server over an IPv4 TCP socket, from a completed handshake to close.
//
// Not thread-safe: the owner serialises every call. close() ends the link but keeps the
// descriptor number reserved until the object is destroyed, so that another thread that took
// fd() before the close and is still waiting on it never ends up waiting on a reused number;
// after close() such a wait returns at once (the socket is shut down).
//
// Every call logs through `logger` (may be null) and is safe against SIGPIPE: a peer that has
// gone away shows up as a failed call, never as a signal.
class TlsSocket {
public:
    // write(): nothing went out, but the same write may succeed later.
    static constexpr int kTryAgain = -2;

    // Resolves `host` (the last address returned wins; it must be IPv4), connects, and completes
    // the handshake within the timing's limit. Every failure is logged and gives null. Returns
    // null early, without logging, once `stop_fd` becomes readable. `context` and `logger` must
    // outlive the socket.
    static std::unique_ptr<TlsSocket> connect(const TlsClientContext& context,
                                              const std::string& host, std::uint16_t port,
                                              Logger* logger, const TlsConnectionTiming& timing,
                                              int stop_fd);
    ~TlsSocket();
    TlsSocket(const TlsSocket&) = delete;
    TlsSocket& operator=(const TlsSocket&) = delete;

    bool is_open() const { return ssl_ != nullptr; }
    int fd() const { return fd_; }

    // The liveness probe: false (after closing and logging the disconnect) when the peer has
    // closed the TCP connection or the socket failed.
    bool check_alive();
    // Decrypted bytes ready to read now; 0 also when only part of a record has arrived.
    std::size_t bytes_available();
    // True when the last bytes_available() met a TLS failure that more received bytes cannot
    // cure: the socket may stay readable while nothing can be read from it.
    bool stalled() const { return stalled_; }
    // Appends up to `n` received bytes to `buffer`; returns how many. A failed read closes the
    // link (logged) and returns 0.
    std::size_t read(std::string& buffer, std::size_t n);
    // One attempt to write `n` bytes: the count written, kTryAgain, or 0 / -1 for a failure that
    // is not worth retrying. Failures are logged; writes failing for longer than the timing's
    // limit close the link.
    int write(const char* data, std::size_t n);
    // errno of the last failed write.
    int last_write_errno() const { return last_write_errno_; }
    // Ends the link: TLS shutdown (skipped after a protocol or system-call failure) and TCP
    // shutdown. Idempotent.
    void close();

private:
    TlsSocket(int fd, SSL* ssl, std::string host, std::uint16_t port, Logger* logger,
              const TlsConnectionTiming& timing);

    int classify_write_failure(int result, std::size_t n, int error);
    template <typename... Parts>
    void log_error(const Parts&... parts);

    int fd_;
    SSL* ssl_;
    std::string host_;
    std::uint16_t port_;
    Logger* logger_;
    const TlsConnectionTiming& timing_;
    int last_tls_error_ = 0;
    int last_write_errno_ = 0;
    bool stalled_ = false;
    std::optional<std::chrono::steady_clock::time_point> first_write_failure_;
};

// How a wait_for_descriptor ended.
enum class WaitOutcome { ready, stopped, timed_out };

// Waits until `fd` is ready for `events` (poll(2) flags; an fd below 0 is not watched), until
// `stop_fd` becomes readable, or until `timeout` has passed (nanoseconds::max() waits without a
// limit). Stop wins over readiness. A readable `alert_fd` (when not below 0) also ends the wait,
// as ready.
WaitOutcome wait_for_descriptor(int fd, short events, int stop_fd, std::chrono::nanoseconds timeout,
                                int alert_fd = -1);

}  // namespace voxapp
