#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/types.h>

#include "core/result.hpp"
#include "sim_server/frame_codec.hpp"
#include "sim_server/throwaway_pki.hpp"

namespace voxapp::sim {

using Clock = std::chrono::steady_clock;

// What the server tells its owner. Every call comes from MonitoringServer::dispatch or from a
// MonitoringServer operation, on the owner's thread; a listener may call the server's
// operations (send, drop, ...) from inside a call.
class ServerListener {
public:
    virtual ~ServerListener() = default;
    virtual void on_connected(int connection, const std::string& peer) = 0;
    virtual void on_established(int connection, const std::string& protocol) = 0;
    virtual void on_received(int connection, const Frame& frame) = 0;
    virtual void on_closed(int connection, const std::string& why) = 0;
};

// The monitoring server as the devices see it: a TLS listener that takes any number of
// connections at once (one per device), cuts what each device sends into frames and sends
// frames to any of them. It does no I/O of its own accord: the owner's loop polls the
// descriptors from poll_set and hands the results to dispatch, and calls dispatch again by
// next_deadline at the latest (quiet spells end text frames that lack their ';', handshakes that
// stall are dropped, delayed pieces go out). Single-threaded.
class MonitoringServer {
public:
    struct Options {
        std::string address = "127.0.0.1";
        std::uint16_t port = 0;  // 0: any free port
    };

    static Result<std::unique_ptr<MonitoringServer>> create(const Options& options,
                                                            const ThrowawayPki& pki,
                                                            ServerListener& listener);
    ~MonitoringServer();
    MonitoringServer(const MonitoringServer&) = delete;
    MonitoringServer& operator=(const MonitoringServer&) = delete;

    std::uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }

    // Appends the descriptors to poll (and what for) to `fds`.
    void poll_set(std::vector<pollfd>& fds) const;
    // Serves the descriptors of `fds` that belong to the server, then whatever is due.
    void dispatch(const std::vector<pollfd>& fds);
    // When dispatch must run again at the latest, if anything is waiting on time.
    std::optional<Clock::time_point> next_deadline() const;

    // Queues `bytes` on an established connection, to go out once `delay` has passed after
    // everything queued before. Errors: no such connection, or not established yet.
    Status send(int connection, std::string bytes, Clock::duration delay = {});
    // Ends a connection: with TLS close_notify, or abortively (TCP reset) when `abort`.
    Status drop(int connection, bool abort);
    // Stops (or resumes) reading a connection, as a server that is stuck would; stopping also
    // shrinks its receive buffer, so that the peer's sends soon find the link full.
    Status stall(int connection, bool stalled);

    struct ConnectionInfo {
        int id;
        std::string peer;
        bool established;
    };
    std::vector<ConnectionInfo> connections() const;
    bool is_established(int connection) const;

private:
    struct Piece {
        std::string bytes;
        Clock::duration delay;
    };
    struct Connection {
        int id = 0;
        int fd = -1;
        SSL* ssl = nullptr;
        std::string peer;
        bool established = false;
        bool broken = false;  // the link failed: no TLS shutdown on close
        Clock::time_point accepted_at;
        Clock::time_point last_receipt;
        // When the first byte of the frame that the decoder holds arrived.
        Clock::time_point frame_started_at;
        ReplyDecoder decoder;
        std::deque<Piece> outgoing;
        std::size_t written = 0;       // of outgoing.front()
        Clock::time_point not_before;  // when outgoing.front() may go out
        bool waiting_for_writable = false;
        bool stalled = false;  // not read until resumed
    };

    MonitoringServer(std::string address, std::uint16_t port, int listen_fd, SSL_CTX* context,
                     ServerListener& listener);

    void accept_connections();
    void serve(Connection& connection, short revents);
    void handshake(Connection& connection);
    void read_from(Connection& connection);
    void write_to(Connection& connection);
    void deliver(Connection& connection, Frame frame, Clock::time_point first_byte);
    void close(int id, const std::string& why, bool abort);
    void run_timers();

    std::string address_;
    std::uint16_t port_;
    int listen_fd_;
    SSL_CTX* context_;
    ServerListener& listener_;
    int next_id_ = 1;
    std::map<int, Connection> connections_;
};

}  // namespace voxapp::sim
