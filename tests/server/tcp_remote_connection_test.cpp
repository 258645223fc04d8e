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
namespace {

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

std::size_t count_lines(const RecordingLogger& logger, LogLevel level, std::string_view text) {
    const auto lines = logger.lines();
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(),
        [&](const auto& line) { return line.first == level && line.second == text; }));
}

bool has_line_starting(const RecordingLogger& logger, LogLevel level, std::string_view prefix) {
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

Call command(std::uint16_t id, std::string text) {
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

TlsConnectionTiming fast_timing() {
    TlsConnectionTiming timing;
    timing.reconnect_pause = 50ms;
    timing.send_retry_pause = 10ms;
    timing.idle_wait = 100ms;
    return timing;
}

// A loopback port with nobody listening.
std::uint16_t closed_port() {
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

std::string binary_frame(std::uint16_t id, const std::string& payload) {
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

    static TlsTestCertificates* certificates_;
    std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
    ConsoleRecorder console_;
    LinkRecorder handler_;
    // Destroyed first: its worker reports to the members above.
    std::unique_ptr<TcpRemoteConnection> connection_;
};

TlsTestCertificates* TcpRemoteConnectionTest::certificates_ = nullptr;

// --- Connecting and certificate verification ----------------------------------------------

TEST_F(TcpRemoteConnectionTest, TrustedChainConnectsAndReportsEachCertificate) {
    TlsTestServer server(pki().server);
    linked(server);

    const std::string port = std::to_string(server.port());
    EXPECT_THAT(logger_->texts(),
                IsSupersetOf(std::vector<std::string>{
                    "Hostname 127.0.0.1 resolved to 127.0.0.1", "Connected to 127.0.0.1:" + port,
                    "Socket set to non-blocking mode", "Establishing OpenSSL connection"}));
    EXPECT_THAT(console_.lines(), ElementsAre(" [INFO] depth=1:/CN=voxapp test root",
                                              " [INFO] depth=0:/CN=voxapp test server"));
    EXPECT_THAT(handler_.calls(), ElementsAre(Call{Call::Kind::started, 0, ""}));
}

TEST_F(TcpRemoteConnectionTest, MissingCrlIsPermitted) {
    TlsTestServer server(pki().server);
    connect_to("127.0.0.1", server.port(), pki().root_ca).start();

    ASSERT_TRUE(server.wait_for_handshakes(1, kBound));
    EXPECT_THAT(
        console_.lines(),
        IsSupersetOf({" [ERROR] verify error:num=3:unable to get certificate CRL:depth=0/CN=voxapp "
                      "test server",
                      " [INFO] proceeding after CRL error - permitted"}));
}

TEST_F(TcpRemoteConnectionTest, UnknownIssuerIsRejectedWithBothLinesAndRetried) {
    TlsTestServer server(pki().intermediate_server);
    TcpRemoteConnection& connection = connect_to("127.0.0.1", server.port(), pki().intermediate_ca);
    connection.start();

    ASSERT_TRUE(server.wait_for_accepted(2, kBound));
    EXPECT_THAT(console_.lines(), IsSupersetOf({" [ERROR] verify error:num=2:unable to get issuer "
                                                "certificate:depth=1/CN=voxapp test intermediate",
                                                " [ERROR] unable to get issuer cert"}));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_error code 1"));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_verify_result code 2"));
    EXPECT_EQ(server.handshakes(), 0u);
    EXPECT_FALSE(connection.is_connected());
}

TEST_F(TcpRemoteConnectionTest, HangingHandshakeIsAbandonedAtTheLimitAndRetried) {
    SilentListener listener;
    TlsConnectionTiming timing = fast_timing();
    timing.second = 10ms;  // the 60-second handshake limit becomes 600 ms
    connect_to("127.0.0.1", listener.port(), pki().root_ca, timing).start();

    ASSERT_TRUE(listener.accept_within(kBound));
    const auto first_attempt = Clock::now();
    ASSERT_TRUE(listener.accept_within(kBound));
    EXPECT_GE(Clock::now() - first_attempt, 590ms);
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_error code 2"));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_verify_result code 0"));
}

TEST_F(TcpRemoteConnectionTest, RevokedServerCertificateIsRejected) {
    TlsTestServer server(pki().revoked_server);
    TlsConnectionTiming timing = fast_timing();
    timing.second = 10ms;
    connect_to("127.0.0.1", server.port(), pki().root_ca_with_crl, timing).start();

    ASSERT_TRUE(server.wait_for_accepted(2, kBound));
    EXPECT_THAT(console_.lines(),
                Contains(" [ERROR] verify error:num=23:certificate revoked:depth=0/CN=voxapp "
                         "revoked server"));
    EXPECT_THAT(console_.lines(), Not(Contains(" [ERROR] unable to get issuer cert")));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_verify_result code 23"));
    EXPECT_EQ(server.handshakes(), 0u);
}

// The public CA plays a CA of the system store; the deployment's CA file stays the root CA.
class SystemStoreTest : public TcpRemoteConnectionTest {
protected:
    void SetUp() override { ::setenv("SSL_CERT_FILE", pki().public_ca.c_str(), 1); }
    void TearDown() override { ::unsetenv("SSL_CERT_FILE"); }
};

TEST_F(SystemStoreTest, SystemCaCertificateForAnotherHostIsRefused) {
    TlsTestServer server(pki().public_other_server);
    TlsConnectionTiming timing = fast_timing();
    timing.second = 10ms;
    connect_to("127.0.0.1", server.port(), pki().root_ca_with_crl, timing).start();

    ASSERT_TRUE(server.wait_for_accepted(2, kBound));
    EXPECT_THAT(console_.lines(),
                Contains(" [ERROR] server certificate /CN=127.0.0.1 is not for host 127.0.0.1 "
                         "and its chain ends at a system CA, not at the CA file: refused"));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_verify_result code 62"));
    EXPECT_EQ(server.handshakes(), 0u);
}

TEST_F(SystemStoreTest, SystemCaCertificateNamingTheHostIsAccepted) {
    TlsTestServer server(pki().public_server);
    linked(server);
    EXPECT_THAT(console_.lines(), Contains(" [INFO] depth=0:/CN=voxapp public server"));
}

TEST_F(SystemStoreTest, DeploymentCaCertificateNeedNotNameTheHost) {
    TlsTestServer server(pki().server);  // CN "voxapp test server", no address
    linked(server);
    EXPECT_TRUE(connection_->is_connected());
}

TEST(TlsClientContextTest, HandlesSendTheHostNameButNoAddressAsSni) {
    auto context = TlsClientContext::create("/nonexistent", {});
    ASSERT_TRUE(context.ok());
    const std::string name = "server.example";
    const std::string address = "127.0.0.1";
    SSL* named = (*context)->new_handle(name);
    SSL* numeric = (*context)->new_handle(address);
    ASSERT_NE(named, nullptr);
    ASSERT_NE(numeric, nullptr);
    EXPECT_STREQ(SSL_get_servername(named, TLSEXT_NAMETYPE_host_name), "server.example");
    EXPECT_EQ(SSL_get_servername(numeric, TLSEXT_NAMETYPE_host_name), nullptr);
    SSL_free(named);
    SSL_free(numeric);
}

TEST_F(TcpRemoteConnectionTest, HostResolvingOnlyToIpv6IsNotSupportedAndRetried) {
    connect_to("::1", 8006, pki().root_ca).start();

    ASSERT_TRUE(eventually([&] {
        return count_lines(*logger_, LogLevel::critical,
                           "Invalid address/ Address not supported") >= 2;
    }));
    EXPECT_TRUE(logger_->contains("Hostname ::1 resolved to ::1"));
    EXPECT_FALSE(has_line_starting(*logger_, LogLevel::info, "Connected to"));
}

TEST_F(TcpRemoteConnectionTest, RefusedConnectIsLoggedAndRetried) {
    const std::uint16_t port = closed_port();
    connect_to("127.0.0.1", port, pki().root_ca).start();

    EXPECT_TRUE(eventually([&] {
        return count_lines(*logger_, LogLevel::error,
                           "Failed to connect to 127.0.0.1:" + std::to_string(port)) >= 2;
    }));
}

// --- Keeping the link -----------------------------------------------------------------------

TEST_F(TcpRemoteConnectionTest, ServerCloseIsNoticedAndReconnected) {
    TlsTestServer server(pki().server);
    linked(server);

    server.close_link();

    ASSERT_TRUE(server.wait_for_handshakes(2, kBound));
    EXPECT_EQ(count_lines(*logger_, LogLevel::error,
                          "Disconnected from 127.0.0.1:" + std::to_string(server.port())),
              1u);
    EXPECT_EQ(handler_.count(Call::Kind::started), 1u);
}

TEST_F(TcpRemoteConnectionTest, SilentLinkIsClosedAfterTheIdleTimeoutOnly) {
    TlsTestServer server(pki().server);
    TlsConnectionTiming timing = fast_timing();
    timing.second = 50ms;
    timing.idle_wait = 20ms;
    linked(server, timing, 2);

    // Traffic for well over the timeout keeps the link.
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(40ms);
        ASSERT_TRUE(server.send("#1;"));
        ASSERT_TRUE(handler_.wait_for_calls(2 + i));
    }
    EXPECT_EQ(server.disconnects(), 0u);

    const auto silent_since = Clock::now();
    ASSERT_TRUE(server.wait_for_disconnects(1, kBound));
    EXPECT_GE(Clock::now() - silent_since, 80ms);
    EXPECT_EQ(count_lines(*logger_, LogLevel::error,
                          "No data received for a while - closing suspected stable connection!"),
              1u);
    EXPECT_TRUE(server.wait_for_handshakes(2, kBound));
}

TEST_F(TcpRemoteConnectionTest, ZeroIdleTimeoutKeepsASilentLink) {
    TlsTestServer server(pki().server);
    TlsConnectionTiming timing = fast_timing();
    timing.second = 10ms;
    timing.idle_wait = 10ms;
    linked(server, timing, 0);

    std::this_thread::sleep_for(300ms);  // 30 "seconds" of silence

    EXPECT_EQ(server.disconnects(), 0u);
    EXPECT_EQ(server.handshakes(), 1u);
}

// --- Receiving --------------------------------------------------------------------------------

TEST_F(TcpRemoteConnectionTest, FramesReachTheHandlerInOrderAcrossReads) {
    TlsTestServer server(pki().server);
    linked(server);

    const std::string short_binary = binary_frame(9, "#3,C;12345");
    ASSERT_TRUE(server.send(std::string("#1,A;>\x05\x00#2,B;", 13) + short_binary.substr(0, 9)));
    ASSERT_TRUE(handler_.wait_for_calls(3));
    ASSERT_TRUE(server.send(short_binary.substr(9)));
    ASSERT_TRUE(handler_.wait_for_calls(4));

    EXPECT_THAT(handler_.calls(), ElementsAre(Call{Call::Kind::started, 0, ""}, command(0, "#1,A;"),
                                              command(5, "#2,B;"), command(9, "#3,C;12345")));
}

TEST_F(TcpRemoteConnectionTest, LongBinaryPayloadIsStreamedWhole) {
    TlsTestServer server(pki().server);
    linked(server);

    const std::string header = "#9,1,2,";
    std::string raw(40000 - header.size(), 'x');
    for (std::size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<char>('a' + i % 26);
    }
    ASSERT_TRUE(server.send(binary_frame(3, header + raw) + "#4;"));
    ASSERT_TRUE(eventually([&] { return handler_.count(Call::Kind::command) == 1; }));

    std::string streamed;
    std::vector<Call> calls = handler_.calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[1], (Call{Call::Kind::begin, 3, header}));
    for (std::size_t i = 2; i + 1 < calls.size(); ++i) {
        streamed += calls[i].data;
    }
    EXPECT_EQ(calls[calls.size() - 2].kind, Call::Kind::end);
    EXPECT_EQ(streamed, raw);
    EXPECT_EQ(calls.back(), command(0, "#4;"));
}

TEST_F(TcpRemoteConnectionTest, TransferCutOffByALostLinkIsAbandonedAndTheNextLinkFramedAfresh) {
    TlsTestServer server(pki().server);
    linked(server);

    // A 40000-byte payload of which only the header and 100 bytes arrive before the link drops.
    const std::string header = "#9,1,2,";
    const std::string frame = binary_frame(3, header + std::string(40000 - header.size(), 'x'));
    ASSERT_TRUE(server.send(frame.substr(0, 7 + header.size() + 100)));
    ASSERT_TRUE(eventually([&] { return handler_.count(Call::Kind::begin) == 1; }));
    server.close_link();
    ASSERT_TRUE(server.wait_for_handshakes(2, kBound));
    ASSERT_TRUE(eventually([&] { return connection_->is_connected(); }));
    ASSERT_TRUE(server.send("#4;"));
    ASSERT_TRUE(eventually([&] { return handler_.count(Call::Kind::command) == 1; }));

    const std::vector<Call> calls = handler_.calls();
    EXPECT_EQ(handler_.count(Call::Kind::abandoned), 1u);
    EXPECT_EQ(handler_.count(Call::Kind::end), 0u);
    EXPECT_EQ(calls.back(), command(0, "#4;"));
    EXPECT_EQ(count_lines(*logger_, LogLevel::error,
                          "Binary transfer abandoned: the link closed before its end"),
              1u);
}

TEST_F(TcpRemoteConnectionTest, CommandAfterAQuietSpellIsReadWithinMilliseconds) {
    TlsTestServer server(pki().server);
    linked(server, TlsConnectionTiming{});  // production waits: 1 s when idle

    for (std::size_t i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(150ms);  // let the worker settle into its idle wait
        const auto sent_at = Clock::now();
        ASSERT_TRUE(server.send("#1;"));
        ASSERT_TRUE(handler_.wait_for_calls(2 + i));
        EXPECT_LT(handler_.calls().back().at - sent_at, 250ms) << "sample " << i;
    }
}

// --- Sending ----------------------------------------------------------------------------------

TEST_F(TcpRemoteConnectionTest, RepliesReachTheServerByteExactInTheirFrameKind) {
    TlsTestServer server(pki().server);
    TcpRemoteConnection& connection = linked(server);

    Result<std::size_t> plain = connection.send_reply(0, "#1,OK;", 6);
    Result<std::size_t> ascii = connection.send_reply(7, "#2,OK;", 6);
    Result<std::size_t> binary = connection.send_binary_reply(0x0102, 10, "#D,r,", 5);
    Result<std::size_t> rest = connection.send_raw("12345", 5);

    ASSERT_TRUE(plain.ok() && ascii.ok() && binary.ok() && rest.ok());
    EXPECT_EQ(*plain, 6u);
    EXPECT_EQ(*binary, 5u);
    const std::string expected = std::string("#1,OK;") + std::string(">\x07\x00#2,OK;", 9) +
                                 std::string("<\x02\x01\x0a\x00\x00\x00#D,r,12345", 17);
    ASSERT_TRUE(server.wait_for_received(expected.size(), kBound));
    EXPECT_EQ(server.received(), expected);
}

TEST_F(TcpRemoteConnectionTest, SendingWhileDisconnectedFailsAtOnce) {
    TcpRemoteConnection& connection = connect_to("127.0.0.1", closed_port(), pki().root_ca);
    connection.start();
    ASSERT_TRUE(eventually([&] { return has_line_starting(*logger_, LogLevel::error, "Failed"); }));

    const auto started = Clock::now();
    const Result<std::size_t> results[] = {
        connection.send_reply(0, "#1;", 3), connection.send_reply(5, "#1;", 3),
        connection.send_binary_reply(5, 3, "#4;", 3), connection.send_raw("#1;", 3)};
    EXPECT_LT(Clock::now() - started, 100ms);
    for (const Result<std::size_t>& result : results) {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().code(), EOPNOTSUPP);
        EXPECT_EQ(result.error().message(), "");
    }
    EXPECT_FALSE(has_line_starting(*logger_, LogLevel::error, "Socket error"));
}

TEST_F(TcpRemoteConnectionTest, HandlerMayReplyFromItsCallback) {
    handler_.echo = true;
    TlsTestServer server(pki().server);
    linked(server);

    ASSERT_TRUE(server.send(std::string(">\x04\x00#5;", 6)));

    ASSERT_TRUE(server.wait_for_received(6, kBound));
    EXPECT_EQ(server.received(), std::string(">\x04\x00#5;", 6));
}

TEST_F(TcpRemoteConnectionTest, ConcurrentRepliesStayWholeWhileCommandsArrive) {
    TlsTestServer server(pki().server);
    TcpRemoteConnection& connection = linked(server);

    constexpr int kThreads = 4;
    constexpr int kRepliesEach = 25;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&connection, t] {
            for (int i = 0; i < kRepliesEach; ++i) {
                const auto id = static_cast<std::uint16_t>(100 * (t + 1) + i);
                const std::string text = "#R," + std::to_string(id) + ";";
                EXPECT_TRUE(connection.send_reply(id, text.data(), text.size()).ok());
            }
        });
    }
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(server.send("#1;"));
    }
    for (std::thread& sender : senders) {
        sender.join();
    }

    // Every reply is 3 header bytes and "#R,<3 digits>;".
    constexpr std::size_t kFrame = 3 + 7;
    ASSERT_TRUE(server.wait_for_received(kThreads * kRepliesEach * kFrame, kBound));
    const std::string received = server.received();
    std::set<int> ids;
    for (std::size_t at = 0; at + kFrame <= received.size(); at += kFrame) {
        ASSERT_EQ(received[at], '>');
        const int id = static_cast<unsigned char>(received[at + 1]) |
                       static_cast<unsigned char>(received[at + 2]) << 8;
        EXPECT_EQ(received.substr(at + 3, kFrame - 3), "#R," + std::to_string(id) + ";");
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kRepliesEach));
    EXPECT_TRUE(handler_.wait_for_calls(21));
}

class BackedUpServerTest : public TcpRemoteConnectionTest {
protected:
    void SetUp() override {
        server_.emplace(pki().server, TlsTestServer::Options{4096});
        server_->set_reading(false);
    }

    // Far more than the kernel buffers on both ends can take.
    const std::string flood_ = std::string(32 * 1024 * 1024, 'f');
    std::optional<TlsTestServer> server_;
};

TEST_F(BackedUpServerTest, SendThatKeepsBackingUpIsTriedTwelveTimesThenClosesTheLink) {
    TcpRemoteConnection& connection = linked(*server_);

    const Result<std::size_t> sent = connection.send_raw(flood_.data(), flood_.size());

    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().code(), EAGAIN);
    EXPECT_EQ(sent.error().message(), "");
    EXPECT_EQ(
        count_lines(*logger_, LogLevel::info, "EAGAIN while trying to send data... retrying..."),
        11u);
    EXPECT_EQ(count_lines(*logger_, LogLevel::error, "TSL/SSL want write/read"), 12u);
    EXPECT_TRUE(has_line_starting(*logger_, LogLevel::error, "SSL send error: 3(tried to send "));
    // The TLS layer still holds part of a record: the link is closed so that the next one starts
    // with whole frames.
    EXPECT_FALSE(connection.is_connected());
    EXPECT_EQ(
        count_lines(*logger_, LogLevel::error, "Send gave up inside a frame - closing the link"),
        1u);

    server_->set_reading(true);
    ASSERT_TRUE(server_->wait_for_handshakes(2, kBound));
    ASSERT_TRUE(eventually([&] { return connection.is_connected(); }));
    ASSERT_TRUE(connection.send_reply(7, "#1,OK;", 6).ok());
    ASSERT_TRUE(server_->wait_for_received(9, kBound));
    EXPECT_EQ(server_->received(), std::string(">\x07\x00#1,OK;", 9));
}

TEST_F(BackedUpServerTest, WritesFailingForTooLongCloseTheLink) {
    TlsConnectionTiming timing = fast_timing();
    timing.second = 10ms;             // writes may fail for 600 ms
    timing.send_retry_pause = 100ms;  // the 12 tries span 1.1 s
    TcpRemoteConnection& connection = linked(*server_, timing);

    const Result<std::size_t> sent = connection.send_raw(flood_.data(), flood_.size());

    ASSERT_FALSE(sent.ok());
    // The rest of the reply must not go out on the next link.
    EXPECT_EQ(sent.error().code(), EOPNOTSUPP);
    EXPECT_LT(
        count_lines(*logger_, LogLevel::info, "EAGAIN while trying to send data... retrying..."),
        11u);
    EXPECT_TRUE(server_->wait_for_handshakes(2, kBound));
}

// --- Thread control -------------------------------------------------------------------------

TEST_F(TcpRemoteConnectionTest, StartAndStopAreIdempotentAndStopIsPrompt) {
    TlsTestServer server(pki().server);
    TcpRemoteConnection& connection = linked(server, TlsConnectionTiming{});
    connection.start();
    std::this_thread::sleep_for(50ms);  // in its 1 s idle wait

    const auto stopping = Clock::now();
    connection.stop();
    EXPECT_LT(Clock::now() - stopping, 500ms);
    connection.stop();
    EXPECT_FALSE(connection.is_connected());
    EXPECT_TRUE(server.wait_for_disconnects(1, kBound));
    EXPECT_EQ(count_lines(*logger_, LogLevel::debug, "Done TcpRemoteConnection run..."), 1u);
    EXPECT_EQ(handler_.count(Call::Kind::started), 1u);

    connection.start();
    EXPECT_TRUE(server.wait_for_handshakes(2, kBound));
    EXPECT_EQ(handler_.count(Call::Kind::started), 2u);
}

TEST_F(TcpRemoteConnectionTest, StopCutsTheReconnectPauseShort) {
    TcpRemoteConnection& connection =
        connect_to("127.0.0.1", closed_port(), pki().root_ca, TlsConnectionTiming{});
    connection.start();
    ASSERT_TRUE(eventually([&] { return has_line_starting(*logger_, LogLevel::error, "Failed"); }));

    const auto stopping = Clock::now();
    connection.stop();
    EXPECT_LT(Clock::now() - stopping, 500ms);
}

TEST_F(TcpRemoteConnectionTest, StopCutsAHangingHandshakeShort) {
    SilentListener listener;
    TcpRemoteConnection& connection =
        connect_to("127.0.0.1", listener.port(), pki().root_ca, TlsConnectionTiming{});
    connection.start();
    ASSERT_TRUE(eventually([&] { return logger_->contains("Establishing OpenSSL connection"); }));

    const auto stopping = Clock::now();
    connection.stop();
    EXPECT_LT(Clock::now() - stopping, 500ms);
}

}  // namespace
}  // namespace voxapp
