#include "server/tls_socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <concepts>
#include <cstdio>
#include <string_view>

#include "core/sigpipe_guard.hpp"

namespace voxapp {
namespace {

using Clock = std::chrono::steady_clock;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

void append(std::string& line, std::string_view text) {
    line += text;
}

void append(std::string& line, const char* text) {
    line += text;
}

template <std::integral T>
void append(std::string& line, T value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    line.append(digits, result.ptr);
}

template <typename... Parts>
std::string compose(const Parts&... parts) {
    std::string line;
    (append(line, parts), ...);
    return line;
}

class LinkLog {
public:
    explicit LinkLog(Logger* logger) : logger_(logger) {}

    template <typename... Parts>
    void info(const Parts&... parts) {
        if (logger_ != nullptr) {
            logger_->info(compose(parts...));
        }
    }
    template <typename... Parts>
    void error(const Parts&... parts) {
        if (logger_ != nullptr) {
            logger_->error(compose(parts...));
        }
    }
    template <typename... Parts>
    void critical(const Parts&... parts) {
        if (logger_ != nullptr) {
            logger_->critical(compose(parts...));
        }
    }

private:
    Logger* logger_;
};

// The last result of the resolver in numeric form; empty when there was none.
std::string last_resolved_address(const addrinfo* results) {
    std::string address;
    for (const addrinfo* result = results; result != nullptr; result = result->ai_next) {
        char text[256];
        if (getnameinfo(result->ai_addr, result->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) == 0) {
            address = text;
        }
    }
    return address;
}

// Waits like a blocking connect would, but gives up when stopped. Returns 0, an errno value, or
// -1 when stopped.
int finish_connect(int fd, const sockaddr_in& address, int stop_fd) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return errno;
    }
    const WaitOutcome outcome =
        wait_for_descriptor(fd, POLLOUT, stop_fd, std::chrono::nanoseconds::max());
    if (outcome == WaitOutcome::stopped) {
        return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

bool set_non_blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

std::unique_ptr<TlsSocket> TlsSocket::connect(const TlsClientContext& context,
                                              const std::string& host, std::uint16_t port,
                                              Logger* logger, const TlsConnectionTiming& timing,
                                              int stop_fd) {
    LinkLog log(logger);
    Descriptor socket_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket_fd.get() < 0) {
        log.critical("Failed to create socket!");
        return nullptr;
    }

    addrinfo* results = nullptr;
    if (const int status = getaddrinfo(host.c_str(), nullptr, nullptr, &results); status != 0) {
        log.critical("Getaddrinfo from ", host, ": ", gai_strerror(status));
        return nullptr;
    }
    const std::string address = last_resolved_address(results);
    freeaddrinfo(results);
    log.info("Hostname ", host, " resolved to ", address);

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        log.critical("Invalid address/ Address not supported");
        return nullptr;
    }

    // The connect waits as long as the kernel lets it, but in non-blocking mode so that stopping
    // the connection does not have to wait for it.
    if (!set_non_blocking(socket_fd.get())) {
        log.error("Failed to connect to ", host, ":", port);
        return nullptr;
    }
    const int connect_error = finish_connect(socket_fd.get(), peer, stop_fd);
    if (connect_error < 0) {
        return nullptr;
    }
    if (connect_error != 0) {
        log.error("Failed to connect to ", host, ":", port);
        return nullptr;
    }
    log.info("Connected to ", address, ":", port);
    log.info("Socket set to non-blocking mode");
    log.info("Establishing OpenSSL connection");

    std::unique_ptr<TlsSocket> link(
        new TlsSocket(socket_fd.release(), nullptr, host, port, logger, timing));
    // The handle checks the certificate against the link's own copy of the host name.
    SSL* ssl = context.new_handle(link->host_);
    if (ssl == nullptr) {
        log.error("Cannot init SSL");
        return nullptr;
    }
    link->ssl_ = ssl;
    SSL_set_fd(ssl, link->fd_);

    SigpipeGuard guard;
    const Clock::time_point start = Clock::now();
    int result = 0;
    int code = SSL_ERROR_NONE;
    for (;;) {
        ERR_clear_error();
        result = SSL_connect(ssl);
        code = SSL_get_error(ssl, result);
        if (result == 1) {
            return link;
        }
        // A handshake that failed (rejected certificate, alert, reset) cannot recover: calling
        // again only reports the failed state and loses the real cause.
        if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) {
            break;
        }
        if (timing.whole_seconds(start, Clock::now()) >=
            static_cast<std::int64_t>(timing.handshake_limit_seconds)) {
            break;
        }
        // Wait for the direction the handshake needs, but never longer than one retry step.
        const short events = code == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
        if (wait_for_descriptor(link->fd_, events, stop_fd, timing.handshake_retry) ==
            WaitOutcome::stopped) {
            return nullptr;
        }
    }
    ERR_print_errors_fp(stderr);
    link->last_tls_error_ = code;
    log.error("SSL_connect failed with SSL_get_error code ", code);
    log.error("SSL_connect failed with SSL_get_verify_result code ", SSL_get_verify_result(ssl));
    return nullptr;
}

TlsSocket::TlsSocket(int fd, SSL* ssl, std::string host, std::uint16_t port, Logger* logger,
                     const TlsConnectionTiming& timing)
    : fd_(fd), ssl_(ssl), host_(std::move(host)), port_(port), logger_(logger), timing_(timing) {}

TlsSocket::~TlsSocket() {
    close();
    ::close(fd_);
}

bool TlsSocket::check_alive() {
    if (!is_open()) {
        return false;
    }
    char byte;
    const ssize_t result = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (result > 0 || (result < 0 && errno == EAGAIN)) {
        return true;
    }
    close();
    log_error("Disconnected from ", host_, ":", port_);
    return false;
}

std::size_t TlsSocket::bytes_available() {
    stalled_ = false;
    if (!is_open()) {
        return 0;
    }
    int queued = 0;
    if (ioctl(fd_, FIONREAD, &queued) != 0 || queued <= 0) {
        return 0;
    }
    SigpipeGuard guard;
    ERR_clear_error();
    char byte;
    const int peeked = SSL_peek(ssl_, &byte, 1);
    if (peeked <= 0) {
        const int code = SSL_get_error(ssl_, peeked);
        stalled_ = code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE;
        return 0;
    }
    return static_cast<std::size_t>(SSL_pending(ssl_));
}

std::size_t TlsSocket::read(std::string& buffer, std::size_t n) {
    if (!is_open() || n == 0) {
        return 0;
    }
    SigpipeGuard guard;
    const std::size_t old_size = buffer.size();
    buffer.resize(old_size + n);
    ERR_clear_error();
    const int result = SSL_read(ssl_, buffer.data() + old_size, static_cast<int>(n));
    if (result <= 0) {
        buffer.resize(old_size);
        const int code = SSL_get_error(ssl_, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            return 0;
        }
        close();
        log_error("Disconnected from ", host_, ":", port_);
        return 0;
    }
    buffer.resize(old_size + static_cast<std::size_t>(result));
    return static_cast<std::size_t>(result);
}

int TlsSocket::write(const char* data, std::size_t n) {
    if (!is_open()) {
        last_write_errno_ = EOPNOTSUPP;
        return -1;
    }
    SigpipeGuard guard;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_write(ssl_, data, static_cast<int>(n));
    const int error = errno;
    if (result > 0) {
        first_write_failure_.reset();
        return result;
    }
    last_write_errno_ = error;
    log_error("Socket error (err: ", error, ", tried to send ", n, " bytes");
    const Clock::time_point now = Clock::now();
    if (!first_write_failure_) {
        first_write_failure_ = now;
    }
    const bool failing_too_long = timing_.whole_seconds(*first_write_failure_, now) >
                                  static_cast<std::int64_t>(timing_.write_failure_limit_seconds);
    const int classified = classify_write_failure(result, n, error);
    if (failing_too_long) {
        close();
        first_write_failure_.reset();
    }
    return classified;
}

int TlsSocket::classify_write_failure(int result, std::size_t n, int error) {
    const int code = SSL_get_error(ssl_, result);
    last_tls_error_ = code;
    if (n != 0) {
        log_error("SSL send error: ", code, "(tried to send ", n);
    } else {
        log_error("SSL accept error: ", code);
    }
    switch (code) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            log_error("TSL/SSL want write/read");
            return kTryAgain;
        case SSL_ERROR_WANT_X509_LOOKUP:
        case SSL_ERROR_WANT_CONNECT:
        case SSL_ERROR_WANT_ACCEPT:
            log_error("TSL/SSL socket busy");
            return 0;
        case SSL_ERROR_ZERO_RETURN:
            log_error("TSL/SSL connection closed - disconnecting client");
            close();
            return -1;
        case SSL_ERROR_SSL:
        case SSL_ERROR_SYSCALL: {
            char text[300];
            if (const unsigned long queued = ERR_get_error(); queued != 0) {
                ERR_error_string_n(queued, text, sizeof text);
                log_error("SSL SYSCALL error: ", queued, ", ", text);
                return -1;
            }
            if (result != 0) {
                ERR_error_string_n(0, text, sizeof text);
                log_error("Underlying socket error (err: ", error, " - ", text);
                return error == EAGAIN ? kTryAgain : -1;
            }
            log_error("TSL/SSL violating EOF observed");
            return -1;
        }
        default:
            log_error("TSL/SSL unknown ERROR");
            return -1;
    }
}

void TlsSocket::close() {
    if (ssl_ != nullptr) {
        SigpipeGuard guard;
        // After a protocol or system-call failure the TLS library forbids a shutdown.
        if (last_tls_error_ != SSL_ERROR_SSL && last_tls_error_ != SSL_ERROR_SYSCALL) {
            SSL_shutdown(ssl_);
        }
        SSL_free(ssl_);
        ssl_ = nullptr;
        ::shutdown(fd_, SHUT_RDWR);
    }
    last_tls_error_ = 0;
    stalled_ = false;
    ERR_clear_error();
}

template <typename... Parts>
void TlsSocket::log_error(const Parts&... parts) {
    if (logger_ != nullptr) {
        logger_->error(compose(parts...));
    }
}

WaitOutcome wait_for_descriptor(int fd, short events, int stop_fd, std::chrono::nanoseconds timeout,
                                int alert_fd) {
    const bool unlimited = timeout == std::chrono::nanoseconds::max();
    const Clock::time_point deadline =
        unlimited ? Clock::time_point::max() : Clock::now() + timeout;
    // poll(2) skips entries with a negative descriptor.
    pollfd watched[3] = {{stop_fd, POLLIN, 0}, {fd, events, 0}, {alert_fd, POLLIN, 0}};
    const nfds_t count = 3;
    for (;;) {
        timespec limit{};
        if (!unlimited) {
            const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            limit.tv_sec = static_cast<time_t>(seconds.count());
            limit.tv_nsec = static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
        }
        const int ready = ppoll(watched, count, unlimited ? nullptr : &limit, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WaitOutcome::timed_out;
        }
        if (ready == 0) {
            return WaitOutcome::timed_out;
        }
        if (watched[0].revents != 0) {
            return WaitOutcome::stopped;
        }
        return WaitOutcome::ready;
    }
}

}  // namespace voxapp
