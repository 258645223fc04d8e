#include "support/tls_test_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <future>
#include <stdexcept>

namespace voxapp::test {
namespace {

// Bounds every blocking step of the server thread, so a client that stalls cannot hang a test.
constexpr timeval kSocketTimeout{5, 0};

}  // namespace

TlsTestServer::TlsTestServer(const TlsIdentity& identity, Options options) {
    context_ = SSL_CTX_new(TLS_server_method());
    if (context_ == nullptr ||
        SSL_CTX_use_certificate_chain_file(context_, identity.certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_, identity.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(context_);
        throw std::runtime_error("cannot load the server identity " + identity.certificate);
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listen_fd_ < 0 || wake_fd_ < 0) {
        throw std::runtime_error("cannot create the server's sockets");
    }
    if (options.receive_buffer) {
        setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &*options.receive_buffer,
                   sizeof *options.receive_buffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd_, 8) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

TlsTestServer::~TlsTestServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
    thread_.join();
    ::close(listen_fd_);
    ::close(wake_fd_);
    SSL_CTX_free(context_);
}

void TlsTestServer::serve() {
    // A client that went away must show up as a failed write, not kill the test process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    for (;;) {
        bool reading;
        {
            std::unique_lock lock(mutex_);
            while (!tasks_.empty()) {
                std::function<void()> task = std::move(tasks_.front());
                tasks_.pop_front();
                lock.unlock();
                task();
                lock.lock();
            }
            if (stopping_) {
                break;
            }
            reading = reading_;
        }
        pollfd watched[3] = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}, {link_fd_, POLLIN, 0}};
        const nfds_t count = link_ != nullptr && reading ? 3 : 2;
        if (::poll(watched, count, 1000) <= 0) {
            continue;
        }
        if (watched[0].revents != 0) {
            std::uint64_t value;
            [[maybe_unused]] const ssize_t got = ::read(wake_fd_, &value, sizeof value);
        }
        if (watched[1].revents != 0) {
            accept_link();
        }
        if (count == 3 && watched[2].revents != 0 && link_ != nullptr) {
            read_link();
        }
    }
    end_link();
}

void TlsTestServer::accept_link() {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        ++accepted_;
    }
    changed_.notify_all();
    end_link();
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kSocketTimeout, sizeof kSocketTimeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSocketTimeout, sizeof kSocketTimeout);
    SSL* ssl = SSL_new(context_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        ::close(fd);
        return;
    }
    link_ = ssl;
    link_fd_ = fd;
    {
        std::lock_guard lock(mutex_);
        ++handshakes_;
        has_link_ = true;
        received_.clear();
    }
    changed_.notify_all();
}

void TlsTestServer::read_link() {
    char chunk[16384];
    const int got = SSL_read(link_, chunk, sizeof chunk);
    if (got <= 0) {
        ERR_clear_error();
        end_link();
        return;
    }
    std::string bytes(chunk, static_cast<std::size_t>(got));
    while (SSL_pending(link_) > 0) {
        const int more = SSL_read(link_, chunk, sizeof chunk);
        if (more <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(more));
    }
    {
        std::lock_guard lock(mutex_);
        received_ += bytes;
    }
    changed_.notify_all();
}

void TlsTestServer::end_link() {
    if (link_ == nullptr) {
        return;
    }
    SSL_shutdown(link_);
    ERR_clear_error();
    SSL_free(link_);
    ::close(link_fd_);
    link_ = nullptr;
    link_fd_ = -1;
    {
        std::lock_guard lock(mutex_);
        ++disconnects_;
        has_link_ = false;
    }
    changed_.notify_all();
}

void TlsTestServer::run_on_server(std::function<void()> task) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back([&task, &done] {
            task();
            done.set_value();
        });
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
    finished.wait();
}

std::size_t TlsTestServer::accepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::size_t TlsTestServer::handshakes() const {
    std::lock_guard lock(mutex_);
    return handshakes_;
}

std::size_t TlsTestServer::disconnects() const {
    std::lock_guard lock(mutex_);
    return disconnects_;
}

bool TlsTestServer::has_link() const {
    std::lock_guard lock(mutex_);
    return has_link_;
}

std::string TlsTestServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bool TlsTestServer::wait_for_accepted(std::size_t count, std::chrono::milliseconds timeout) const {
    return wait([&] { return accepted_ >= count; }, timeout);
}

bool TlsTestServer::wait_for_handshakes(std::size_t count,
                                        std::chrono::milliseconds timeout) const {
    return wait([&] { return handshakes_ >= count; }, timeout);
}

bool TlsTestServer::wait_for_disconnects(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
    return wait([&] { return disconnects_ >= count; }, timeout);
}

bool TlsTestServer::wait_for_received(std::size_t count, std::chrono::milliseconds timeout) const {
    return wait([&] { return received_.size() >= count; }, timeout);
}

bool TlsTestServer::wait(const std::function<bool()>& condition,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, condition);
}

bool TlsTestServer::send(std::string_view bytes) {
    bool sent = false;
    run_on_server([&] {
        if (link_ != nullptr && !bytes.empty()) {
            sent = SSL_write(link_, bytes.data(), static_cast<int>(bytes.size())) ==
                   static_cast<int>(bytes.size());
            ERR_clear_error();
        }
    });
    return sent;
}

void TlsTestServer::close_link() {
    run_on_server([this] { end_link(); });
}

void TlsTestServer::set_reading(bool reading) {
    {
        std::lock_guard lock(mutex_);
        reading_ = reading;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
}

}  // namespace voxapp::test
