#include <gtest/gtest.h>

#include "tcp_remote_connection_fixture.hpp"

namespace voxapp {
namespace {

using namespace connection_test;
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
    // with whole frames. The connection links again at once, and the server, which still accepts
    // while it does not read, sees a second handshake.
    EXPECT_TRUE(server_->wait_for_handshakes(2, kBound));
    EXPECT_EQ(
        count_lines(*logger_, LogLevel::error, "Send gave up inside a frame - closing the link"),
        1u);

    server_->set_reading(true);
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
