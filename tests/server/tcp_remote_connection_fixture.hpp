#pragma once

// What the connection tests share: a recording link handler, quick timings, silent and closed
// ports, and a fixture that owns the connection under test.

#include "server/tcp_remote_connection.hpp"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/recording_logger.hpp"
#include "support/tls_test_certificates.hpp"
#include "support/tls_test_server.hpp"

namespace voxapp {
namespace connection_test {

using namespace std::chrono_literals;
using test::RecordingLogger;
using test::TlsTestCertificates;
using test::TlsTestServer;
using Clock = std::chrono::steady_clock;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::StartsWith;

constexpr auto kBound = 10s;

// Polls `condition` until it holds or `timeout` passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = kBound) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

inline std::size_t count_lines(const RecordingLogger& logger, LogLevel level,
                               std::string_view text) {
    const auto lines = logger.lines();
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(),
        [&](const auto& line) { return line.first == level && line.second == text; }));
}

inline bool has_line_starting(const RecordingLogger& logger, LogLevel level,
                              std::string_view prefix) {
    for (const auto& [line_level, text] : logger.lines()) {
        if (line_level == level && text.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

class ConsoleRecorder {
public:
    ConsoleWriter writer() {
        return [this](std::string_view message) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(message);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

struct Call {
    enum class Kind { command, begin, chunk, end, started, abandoned };
    Kind kind;
    std::uint16_t request_id = 0;
    std::string data;
    Clock::time_point at = Clock::now();

    bool operator==(const Call& other) const {
        return kind == other.kind && request_id == other.request_id && data == other.data;
    }
    friend std::ostream& operator<<(std::ostream& out, const Call& call) {
        return out << static_cast<int>(call.kind) << "(" << call.request_id << ", \"" << call.data
                   << "\")";
    }
};

inline Call command(std::uint16_t id, std::string text) {
    return {Call::Kind::command, id, std::move(text)};
}

// Keeps every callback, thread-safely; with `echo` set it answers each command from inside the
// callback, on the worker thread.
class LinkRecorder : public RemoteLinkHandler {
public:
    void on_unsolicited(RemoteConnection&, const char*, std::size_t) override {}
    void on_command(RemoteConnection& connection, std::uint16_t request_id, const char* text,
                    std::size_t length, CommandExpiry) override {
        record(connection, {Call::Kind::command, request_id, std::string(text, length)});
        if (echo) {
            EXPECT_TRUE(connection.send_reply(request_id, text, length).ok());
        }
    }
    void on_binary_begin(RemoteConnection& connection, std::uint16_t request_id, const char* data,
                         std::size_t length) override {
        record(connection, {Call::Kind::begin, request_id, std::string(data, length)});
    }
    void on_binary_chunk(RemoteConnection& connection, const char* data,
                         std::size_t length) override {
        record(connection, {Call::Kind::chunk, 0, std::string(data, length)});
    }
    void on_binary_end(RemoteConnection& connection, const char* data,
                       std::size_t length) override {
        record(connection, {Call::Kind::end, 0, std::string(data, length)});
    }
    void on_started(RemoteConnection& connection) override {
        record(connection, {Call::Kind::started, 0, ""});
    }
    void on_binary_abandoned(RemoteConnection& connection) override {
        record(connection, {Call::Kind::abandoned, 0, ""});
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::size_t count(Call::Kind kind) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count_if(
            calls_.begin(), calls_.end(), [kind](const Call& call) { return call.kind == kind; }));
    }
    bool wait_for_calls(std::size_t count, std::chrono::milliseconds timeout = kBound) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
    }

    RemoteConnection* expected_connection = nullptr;
    bool echo = false;  // set before start

private:
    void record(RemoteConnection& connection, Call call) {
        {
            std::lock_guard lock(mutex_);
            if (&connection == expected_connection) {
                calls_.push_back(std::move(call));
            }
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Call> calls_;
};

inline TlsConnectionTiming fast_timing() {
    TlsConnectionTiming timing;
    timing.reconnect_pause = 50ms;
    timing.send_retry_pause = 10ms;
    timing.idle_wait = 100ms;
    return timing;
}

// A loopback port with nobody listening.
inline std::uint16_t closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Takes TCP connections and never says a word.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() {
        for (const int fd : accepted_) {
            ::close(fd);
        }
        ::close(fd_);
    }
    std::uint16_t port() const { return port_; }
    bool accept_within(std::chrono::milliseconds timeout) {
        pollfd watched{fd_, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(timeout.count())) != 1) {
            return false;
        }
        accepted_.push_back(::accept(fd_, nullptr, nullptr));
        return accepted_.back() >= 0;
    }

private:
    int fd_;
    std::uint16_t port_;
    std::vector<int> accepted_;
};

inline std::string binary_frame(std::uint16_t id, const std::string& payload) {
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::string frame = {'<', static_cast<char>(id & 0xFF), static_cast<char>(id >> 8)};
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<char>(length >> shift & 0xFF));
    }
    return frame + payload;
}

class TcpRemoteConnectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { certificates_ = new TlsTestCertificates(); }
    static void TearDownTestSuite() {
        delete certificates_;
        certificates_ = nullptr;
    }

    const TlsTestCertificates& pki() const { return *certificates_; }

    TcpRemoteConnection& connect_to(const std::string& host, std::uint16_t port,
                                    const std::string& ca_file,
                                    TlsConnectionTiming timing = fast_timing(),
                                    std::uint16_t idle_timeout = 0) {
        Result<std::unique_ptr<TcpRemoteConnection>> created = TcpRemoteConnection::create(
            host, port, idle_timeout, ca_file, timing, console_.writer());
        EXPECT_TRUE(created.ok());
        connection_ = std::move(*created);
        connection_->set_logger(logger_);
        handler_.expected_connection = connection_.get();
        connection_->set_handler(&handler_);
        return *connection_;
    }

    // Connects to a server with the root-signed identity and waits for the link.
    TcpRemoteConnection& linked(TlsTestServer& server, TlsConnectionTiming timing = fast_timing(),
                                std::uint16_t idle_timeout = 0) {
        TcpRemoteConnection& connection =
            connect_to("127.0.0.1", server.port(), pki().root_ca_with_crl, timing, idle_timeout);
        connection.start();
        EXPECT_TRUE(server.wait_for_handshakes(1, kBound));
        EXPECT_TRUE(eventually([&] { return connection.is_connected(); }));
        return connection;
    }

    static inline TlsTestCertificates* certificates_ = nullptr;
    std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
    ConsoleRecorder console_;
    LinkRecorder handler_;
    // Destroyed first: its worker reports to the members above.
    std::unique_ptr<TcpRemoteConnection> connection_;
};

}  // namespace connection_test
}  // namespace voxapp
