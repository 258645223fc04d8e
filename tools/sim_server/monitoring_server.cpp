#include "sim_server/monitoring_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>

namespace voxapp::sim {

namespace {

// A device that has not finished its handshake by then is dropped.
constexpr auto kHandshakeLimit = std::chrono::seconds(10);
// A text frame without its ';' is taken as ended after this much silence.
constexpr auto kQuietSpell = std::chrono::milliseconds(100);
constexpr std::size_t kReadChunk = 16384;

std::string openssl_reason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "no detail";
    }
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    return reason;
}

Status load_identity(SSL_CTX* context, const ThrowawayPki& pki) {
    const std::string& certificate_pem = pki.server_certificate_pem();
    const std::string& key_pem = pki.server_key_pem();
    BIO* certificate_bio =
        BIO_new_mem_buf(certificate_pem.data(), static_cast<int>(certificate_pem.size()));
    X509* certificate = PEM_read_bio_X509(certificate_bio, nullptr, nullptr, nullptr);
    BIO_free(certificate_bio);
    BIO* key_bio = BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(key_bio, nullptr, nullptr, nullptr);
    BIO_free(key_bio);
    const bool loaded = certificate != nullptr && key != nullptr &&
                        SSL_CTX_use_certificate(context, certificate) == 1 &&
                        SSL_CTX_use_PrivateKey(context, key) == 1 &&
                        SSL_CTX_check_private_key(context) == 1;
    X509_free(certificate);
    EVP_PKEY_free(key);
    if (!loaded) {
        return Error::owned("cannot load the server identity: " + openssl_reason());
    }
    return {};
}

Result<int> open_listener(const std::string& address, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int error = getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
        error != 0) {
        return Error::owned("cannot resolve " + address + ": " + gai_strerror(error));
    }
    int last_errno = 0;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        const int fd =
            socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            last_errno = errno;
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, entry->ai_addr, entry->ai_addrlen) == 0 && listen(fd, 64) == 0) {
            freeaddrinfo(found);
            return fd;
        }
        last_errno = errno;
        ::close(fd);
    }
    freeaddrinfo(found);
    return Error::owned(
        "cannot listen on " + address + ":" + service + ": " + std::strerror(last_errno),
        last_errno);
}

std::uint16_t bound_port(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

std::string peer_name(const sockaddr_storage& address, socklen_t length) {
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    return std::string(host) + ":" + service;
}

}  // namespace

Result<std::unique_ptr<MonitoringServer>> MonitoringServer::create(const Options& options,
                                                                   const ThrowawayPki& pki,
                                                                   ServerListener& listener) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        return Error::owned("SSL_CTX_new: " + openssl_reason());
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (Status loaded = load_identity(context, pki); !loaded) {
        SSL_CTX_free(context);
        return loaded.error();
    }
    auto listen_fd = open_listener(options.address, options.port);
    if (!listen_fd) {
        SSL_CTX_free(context);
        return listen_fd.error();
    }
    return std::unique_ptr<MonitoringServer>(new MonitoringServer(
        options.address, bound_port(*listen_fd), *listen_fd, context, listener));
}

MonitoringServer::MonitoringServer(std::string address, std::uint16_t port, int listen_fd,
                                   SSL_CTX* context, ServerListener& listener)
    : address_(std::move(address)),
      port_(port),
      listen_fd_(listen_fd),
      context_(context),
      listener_(listener) {}

MonitoringServer::~MonitoringServer() {
    for (auto& [id, connection] : connections_) {
        if (connection.established) {
            SSL_shutdown(connection.ssl);
        }
        SSL_free(connection.ssl);
        ::close(connection.fd);
    }
    ::close(listen_fd_);
    SSL_CTX_free(context_);
}

void MonitoringServer::poll_set(std::vector<pollfd>& fds) const {
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const auto& [id, connection] : connections_) {
        short events = connection.stalled ? 0 : POLLIN;
        if (connection.waiting_for_writable) {
            events |= POLLOUT;
        }
        fds.push_back({connection.fd, events, 0});
    }
}

void MonitoringServer::dispatch(const std::vector<pollfd>& fds) {
    std::vector<std::pair<int, short>> ready;
    for (const pollfd& entry : fds) {
        if (entry.revents == 0) {
            continue;
        }
        if (entry.fd == listen_fd_) {
            accept_connections();
            continue;
        }
        for (const auto& [id, connection] : connections_) {
            if (connection.fd == entry.fd) {
                ready.emplace_back(id, entry.revents);
            }
        }
    }
    // A listener call may close any connection, so each is looked up again by its id.
    for (const auto& [id, revents] : ready) {
        if (auto found = connections_.find(id); found != connections_.end()) {
            serve(found->second, revents);
        }
    }
    run_timers();
}

std::optional<Clock::time_point> MonitoringServer::next_deadline() const {
    std::optional<Clock::time_point> next;
    const auto consider = [&next](Clock::time_point at) {
        if (!next || at < *next) {
            next = at;
        }
    };
    for (const auto& [id, connection] : connections_) {
        if (!connection.established) {
            consider(connection.accepted_at + kHandshakeLimit);
            continue;
        }
        if (connection.decoder.pending() && !connection.decoder.holds_binary()) {
            consider(connection.last_receipt + kQuietSpell);
        }
        if (!connection.outgoing.empty() && !connection.waiting_for_writable) {
            consider(connection.written == 0 ? connection.not_before : Clock::now());
        }
    }
    return next;
}

Status MonitoringServer::send(int id, std::string bytes, Clock::duration delay) {
    auto found = connections_.find(id);
    if (found == connections_.end()) {
        return Error::owned("no connection " + std::to_string(id));
    }
    Connection& connection = found->second;
    if (!connection.established) {
        return Error::owned("connection " + std::to_string(id) + " is not established yet");
    }
    if (connection.outgoing.empty()) {
        connection.not_before = Clock::now() + delay;
    }
    connection.outgoing.push_back({std::move(bytes), delay});
    write_to(connection);
    return {};
}

Status MonitoringServer::drop(int id, bool abort) {
    if (connections_.count(id) == 0) {
        return Error::owned("no connection " + std::to_string(id));
    }
    close(id, abort ? "by the simulator (reset)" : "by the simulator (close_notify)", abort);
    return {};
}

Status MonitoringServer::stall(int id, bool stalled) {
    auto found = connections_.find(id);
    if (found == connections_.end()) {
        return Error::owned("no connection " + std::to_string(id));
    }
    found->second.stalled = stalled;
    if (stalled) {
        const int smallest = 1;  // the kernel rounds it up to its minimum
        setsockopt(found->second.fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
    }
    return {};
}

std::vector<MonitoringServer::ConnectionInfo> MonitoringServer::connections() const {
    std::vector<ConnectionInfo> list;
    for (const auto& [id, connection] : connections_) {
        list.push_back({id, connection.peer, connection.established});
    }
    return list;
}

bool MonitoringServer::is_established(int id) const {
    const auto found = connections_.find(id);
    return found != connections_.end() && found->second.established;
}

void MonitoringServer::accept_connections() {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;  // EAGAIN, or a connection that went away before it was taken
        }
        const int on = 1;
        // Replies are small and latency is what the devices and the benchmarks care about.
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        SSL* ssl = SSL_new(context_);
        if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
            SSL_free(ssl);
            ::close(fd);
            continue;
        }
        SSL_set_accept_state(ssl);
        const int id = next_id_++;
        Connection& connection = connections_[id];
        connection.id = id;
        connection.fd = fd;
        connection.ssl = ssl;
        connection.peer = peer_name(address, length);
        connection.accepted_at = Clock::now();
        listener_.on_connected(id, connection.peer);
        if (auto again = connections_.find(id); again != connections_.end()) {
            handshake(again->second);
        }
    }
}

void MonitoringServer::serve(Connection& connection, short revents) {
    if (!connection.established) {
        handshake(connection);
        return;
    }
    const int id = connection.id;
    // A stalled link is still read once it failed or closed, so that it is not polled for ever.
    const short read_on = connection.stalled ? (POLLHUP | POLLERR) : (POLLIN | POLLHUP | POLLERR);
    if ((revents & read_on) != 0) {
        read_from(connection);
    }
    if (auto found = connections_.find(id); found != connections_.end()) {
        write_to(found->second);
    }
}

void MonitoringServer::handshake(Connection& connection) {
    ERR_clear_error();
    const int result = SSL_accept(connection.ssl);
    if (result == 1) {
        connection.established = true;
        connection.waiting_for_writable = false;
        connection.last_receipt = Clock::now();
        listener_.on_established(connection.id, SSL_get_version(connection.ssl));
        return;
    }
    switch (SSL_get_error(connection.ssl, result)) {
        case SSL_ERROR_WANT_READ:
            connection.waiting_for_writable = false;
            return;
        case SSL_ERROR_WANT_WRITE:
            connection.waiting_for_writable = true;
            return;
        default:
            close(connection.id, "(handshake failed: " + openssl_reason() + ")", false);
    }
}

void MonitoringServer::read_from(Connection& connection) {
    const int id = connection.id;
    char buffer[kReadChunk];
    for (;;) {
        auto found = connections_.find(id);
        if (found == connections_.end()) {
            return;
        }
        Connection& current = found->second;
        ERR_clear_error();
        const int count = SSL_read(current.ssl, buffer, sizeof buffer);
        if (count > 0) {
            const auto now = Clock::now();
            if (!current.decoder.pending()) {
                current.frame_started_at = now;
            }
            const Clock::time_point held_since = current.frame_started_at;
            current.last_receipt = now;
            auto frames = current.decoder.feed(std::string_view(buffer, count));
            if (current.decoder.pending() && !frames.empty()) {
                current.frame_started_at = now;
            }
            for (std::size_t i = 0; i < frames.size(); ++i) {
                auto still = connections_.find(id);
                if (still == connections_.end()) {
                    return;
                }
                deliver(still->second, std::move(frames[i]), i == 0 ? held_since : now);
            }
            continue;
        }
        const int saved_errno = errno;
        const int error = SSL_get_error(current.ssl, count);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            return;
        }
        std::string why;
        if (error == SSL_ERROR_ZERO_RETURN) {
            why = "by the device (close_notify)";
        } else if (error == SSL_ERROR_SYSCALL && saved_errno == ECONNRESET) {
            why = "by the device (reset)";
        } else if (error == SSL_ERROR_SYSCALL ||
                   ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            why = "by the device (no close_notify)";
        } else {
            why = "(link failed: " + openssl_reason() + ")";
        }
        ERR_clear_error();
        // After a failed link TLS forbids a shutdown; after close_notify it answers with one.
        current.broken = error != SSL_ERROR_ZERO_RETURN;
        if (auto rest = current.decoder.flush()) {
            deliver(current, std::move(*rest), current.frame_started_at);
        }
        close(id, why, false);
        return;
    }
}

void MonitoringServer::write_to(Connection& connection) {
    connection.waiting_for_writable = false;
    while (!connection.outgoing.empty()) {
        Piece& piece = connection.outgoing.front();
        if (connection.written == 0 && Clock::now() < connection.not_before) {
            return;
        }
        ERR_clear_error();
        const int count = SSL_write(connection.ssl, piece.bytes.data() + connection.written,
                                    static_cast<int>(piece.bytes.size() - connection.written));
        if (count > 0) {
            connection.written += static_cast<std::size_t>(count);
            if (connection.written == piece.bytes.size()) {
                connection.outgoing.pop_front();
                connection.written = 0;
                if (!connection.outgoing.empty()) {
                    connection.not_before = Clock::now() + connection.outgoing.front().delay;
                }
            }
            continue;
        }
        const int error = SSL_get_error(connection.ssl, count);
        if (error == SSL_ERROR_WANT_WRITE) {
            connection.waiting_for_writable = true;
            return;
        }
        if (error == SSL_ERROR_WANT_READ) {
            return;
        }
        connection.broken = true;
        close(connection.id, "(write failed: " + openssl_reason() + ")", false);
        return;
    }
}

void MonitoringServer::deliver(Connection& connection, Frame frame, Clock::time_point first_byte) {
    frame.first_byte = first_byte;
    listener_.on_received(connection.id, frame);
}

void MonitoringServer::close(int id, const std::string& why, bool abort) {
    auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    Connection& connection = found->second;
    if (abort) {
        const linger reset{1, 0};
        setsockopt(connection.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    } else if (connection.established && !connection.broken) {
        ERR_clear_error();
        SSL_shutdown(connection.ssl);
    }
    SSL_free(connection.ssl);
    ::close(connection.fd);
    connections_.erase(found);
    ERR_clear_error();
    listener_.on_closed(id, why);
}

void MonitoringServer::run_timers() {
    const auto now = Clock::now();
    std::vector<int> ids;
    for (const auto& [id, connection] : connections_) {
        ids.push_back(id);
    }
    for (const int id : ids) {
        auto found = connections_.find(id);
        if (found == connections_.end()) {
            continue;
        }
        Connection& connection = found->second;
        if (!connection.established) {
            if (now - connection.accepted_at >= kHandshakeLimit) {
                close(id, "(handshake not finished in 10 s)", false);
            }
            continue;
        }
        if (connection.decoder.pending() && !connection.decoder.holds_binary() &&
            now - connection.last_receipt >= kQuietSpell) {
            if (auto frame = connection.decoder.flush()) {
                deliver(connection, std::move(*frame), connection.frame_started_at);
            }
        }
        if (auto again = connections_.find(id); again != connections_.end()) {
            if (!again->second.outgoing.empty() && !again->second.waiting_for_writable) {
                write_to(again->second);
            }
        }
    }
}

}  // namespace voxapp::sim
