#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/result.hpp"
#include "server/byte_sink.hpp"
#include "server/frame_parser.hpp"
#include "server/link_component.hpp"
#include "server/remote_connection.hpp"
#include "server/remote_link_handler.hpp"
#include "server/reply_framing.hpp"
#include "server/tls_client_context.hpp"
#include "server/tls_connection_timing.hpp"
#include "server/tls_socket.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// A device's TLS link to the server. A worker thread connects (and reconnects every 5 seconds
// after a failure), closes a link that stayed silent longer than the idle timeout, reads whatever
// arrives and hands it to the frame parser, which calls the handler. Replies go out through the
// three send paths, framed by ReplyFramer; a send that cannot go out whole is retried up to 11
// times, one second apart, and then closes the link (the next link starts with whole frames).
// queue_reply hands a reply to the worker instead, so that a server that stops reading holds up
// only its own connection: the worker sends queued replies, in order, between its reads.
//
// Threads: set_logger and set_handler before start (or after stop). start and stop from one
// controlling thread, never from a handler callback. The send paths and is_connected from any
// thread, concurrently with the worker; a send while no link is up fails at once (EOPNOTSUPP,
// empty message). Every handler callback runs on the worker thread, without any lock of this
// connection held, so a callback may send. The destructor stops the worker; nobody may be
// sending then.
class TcpRemoteConnection final : public RemoteConnection, public LinkComponent {
public:
    using Timing = TlsConnectionTiming;

    // At most this many replies, and this many bytes of them, wait in the queue; more are
    // refused (logged once per burst). Two of the largest binary replies fit.
    static constexpr std::size_t kMaxQueuedReplies = 256;
    static constexpr std::size_t kMaxQueuedBytes = 32u << 20;

    // Makes the TLS client context (see TlsClientContext) and the wake descriptors; nothing
    // connects before start. `console` receives the certificate reports (default: standard
    // output with the time stamp).
    static Result<std::unique_ptr<TcpRemoteConnection>> create(std::string host, std::uint16_t port,
                                                               std::uint16_t idle_timeout_seconds,
                                                               const std::string& ca_path,
                                                               Timing timing = {},
                                                               ConsoleWriter console = {});
    // The same with a TLS client context that other connections may share.
    static Result<std::unique_ptr<TcpRemoteConnection>> create(
        std::string host, std::uint16_t port, std::uint16_t idle_timeout_seconds,
        std::shared_ptr<const TlsClientContext> context, Timing timing = {});
    ~TcpRemoteConnection() override;
    TcpRemoteConnection(const TcpRemoteConnection&) = delete;
    TcpRemoteConnection& operator=(const TcpRemoteConnection&) = delete;

    // Null: nothing is logged.
    void set_logger(std::shared_ptr<Logger> logger);
    // Not owned; it must outlive the worker (stop or destroy the connection first). Null: frames
    // are consumed without calls.
    void set_handler(RemoteLinkHandler* handler);

    // Starts the worker unless it runs already.
    void start() override;
    // Stops the worker promptly (within one handshake step or blocking name lookup at worst),
    // closes the link and joins the thread. Idempotent; a later start starts a new worker.
    void stop() override;

    // Whether a link is up now.
    bool is_connected() const;

    Result<std::size_t> send_reply(std::uint16_t request_id, const char* data,
                                   std::size_t length) override;
    Result<std::size_t> send_binary_reply(std::uint16_t request_id, std::uint32_t total_length,
                                          const char* data, std::size_t length) override;
    Result<std::size_t> send_raw(const char* data, std::size_t length) override;
    // Takes the reply for the link that is up now and returns at once; the worker sends it
    // through the send paths above (retries and the failing-write rule included). A reply still
    // queued when its link closes is dropped. Error: EOPNOTSUPP (empty message) when no link is
    // up, ENOBUFS when the queue is full.
    Status queue_reply(std::uint16_t request_id, std::string reply, bool binary) override;
    // Counts the links made; on the worker thread it is the link whose frames are being handled.
    std::uint64_t current_link() const override;
    Status queue_reply_on(std::uint64_t link, std::uint16_t request_id, std::string reply,
                          bool binary) override;

    std::optional<LinkStatus> link_status() const override;

private:
    // What the framer sends through. Each framed reply starts with is_connected, which pins the
    // reply to the link that is up then: if that link goes away, the rest of the reply fails
    // instead of going out on the next link.
    class FramedSink final : public ByteSink {
    public:
        explicit FramedSink(TcpRemoteConnection& connection) : connection_(connection) {}
        bool is_connected() const override { return connection_.begin_send(); }
        Result<std::size_t> send_bytes(const char* data, std::size_t length) override {
            return connection_.send_bytes(data, length);
        }

    private:
        TcpRemoteConnection& connection_;
    };

    struct QueuedReply {
        std::uint16_t request_id;
        std::string reply;
        bool binary;
        std::uint64_t link;  // the link_generation_ it was queued for
    };

    TcpRemoteConnection(std::string host, std::uint16_t port, std::uint16_t idle_timeout_seconds,
                        Timing timing, std::shared_ptr<const TlsClientContext> context, int wake_fd,
                        int queued_fd);

    bool begin_send();
    // Takes the reply for `link`, or for the link up now when empty.
    Status enqueue_reply(std::optional<std::uint64_t> link, std::uint16_t request_id,
                         std::string reply, bool binary);
    // The send loop behind every framed piece.
    Result<std::size_t> send_bytes(const char* data, std::size_t length);
    // Closes the link the failed send was pinned to; returns the send's error.
    Error give_up_send(int error);

    void run();
    // One pass over a connected link: probe, read, parse, then wait for more.
    void abandon_binary_transfer();
    void serve(std::string& buffer, std::chrono::steady_clock::time_point& last_receipt);
    // Sends what queue_reply took, on the worker thread.
    void send_queued();
    void drop_queued();
    bool pause(std::chrono::nanoseconds duration) const;

    template <typename... Parts>
    void log(LogLevel level, const Parts&... parts) const;

    const std::string host_;
    const std::uint16_t port_;
    const std::uint16_t idle_timeout_seconds_;
    const Timing timing_;
    const std::shared_ptr<const TlsClientContext> context_;
    const int wake_fd_;    // readable once stop was asked for
    const int queued_fd_;  // readable while replies may wait in queued_

    std::shared_ptr<Logger> logger_;
    RemoteLinkHandler* handler_ = nullptr;

    std::mutex lifecycle_mutex_;  // start and stop
    std::atomic<bool> running_{false};
    std::thread worker_;

    // Guards socket_: every use of the TLS handle and the socket, from the worker and the
    // senders. Never held while waiting.
    mutable std::mutex io_mutex_;
    // Replaced and destroyed only by the worker (or once it has ended), so a descriptor the
    // worker waits on stays valid.
    std::unique_ptr<TlsSocket> socket_;
    std::uint64_t link_generation_ = 0;  // counts the links made
    std::uint64_t send_generation_ = 0;  // the link the reply being sent is pinned to

    mutable std::mutex queue_mutex_;  // guards queued_ and what counts it
    std::deque<QueuedReply> queued_;
    std::size_t queued_bytes_ = 0;
    bool refusing_ = false;

    FrameParser parser_;  // worker thread only
    FramedSink sink_;
    ReplyFramer framer_;

    // For link_status: when the link came up and the last error logged or met.
    void note_error(std::string text) const;
    mutable std::mutex status_mutex_;
    TimePoint connected_since_ = 0;
    mutable std::string last_error_;
};

}  // namespace voxapp
