#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/settings.hpp"
#include "platform/gps_command_sink.hpp"
#include "server/device.hpp"
#include "server/link_component.hpp"
#include "server/remote_link_handler.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Where a device's server connection goes.
struct ServerEndpoint {
    std::string host;
    std::uint16_t port = 0;
    std::uint16_t idle_timeout_seconds = 0;
    std::string ca_path;

    bool operator==(const ServerEndpoint&) const = default;
};

// How long a device link waits for the device's answer to a long binary transfer, and the pause
// between tries.
struct DeviceLinkTiming {
    std::chrono::milliseconds answer_timeout{35'000};
    std::chrono::milliseconds answer_poll{5};
    // How long one wait for the device lock lasts before the transfer looks whether the link
    // is stopping.
    std::chrono::milliseconds lock_slice{50};
};

// Joins one device to the server: builds the device's components from the settings' component
// list (its own server connection and, where supported, a GPS tracker), turns every command
// arriving on the connection into a queued job with a reply callback that answers on the same
// connection in the request's frame kind, forwards the device's spontaneous messages, and
// streams long binary payloads to the device. Replies and messages are queued on the connection
// (queue_reply), so a server that stops reading never holds up the thread that answers; a reply
// goes out only on the link its command came in on, never on a later one (the server asks
// again). A binary transfer waits for the device lock in slices and gives up when the link is
// stopped, so stopping never waits on a lock the stopping thread holds; a payload the device
// cannot take whole is answered "#9,?;".
//
// Threads: the RemoteLinkHandler operations run on the connection's worker thread; submit_command
// on the GPS tracker's thread; start and stop on the main loop thread. The link must be stopped
// (or destroyed, which stops nothing but releases the components, whose destructors join their
// threads) before the device goes away. The device may outlive the link: replies it gives after
// the link is destroyed are dropped.
class DeviceLink : public RemoteLinkHandler, public GpsCommandSink {
public:
    // Builds a started-on-demand server connection that reports to `handler`; `logger` is null
    // when the connection's traffic is not logged.
    using ConnectionFactory = std::function<std::shared_ptr<LinkComponent>(
        const ServerEndpoint& endpoint, std::shared_ptr<Logger> logger,
        RemoteLinkHandler& handler)>;
    // Builds a GPS tracker that hands its commands to `sink`.
    using GpsTrackerFactory = std::function<std::shared_ptr<LinkComponent>(
        GpsCommandSink& sink, std::shared_ptr<Logger> logger)>;

    struct Factories {
        ConnectionFactory connection;
        GpsTrackerFactory gps_tracker;
        // Called, on the thread that queued it, after a command was queued on the device or a
        // binary transfer released it: the main loop has work. May be empty.
        std::function<void()> work_queued;
    };

    using Timing = DeviceLinkTiming;

    DeviceLink(std::shared_ptr<Device> device, const Settings& settings,
               std::shared_ptr<Logger> logger, const Factories& factories, Timing timing = {});
    ~DeviceLink() override;
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Starts every component once, in list order; later calls do nothing.
    void start();
    // Stops every component of a started link; a binary transfer waiting for the device gives
    // up first.
    void stop();

    const std::shared_ptr<Device>& device() const { return device_; }
    std::size_t component_count() const { return components_.size(); }
    // The endpoint a device of `device_class` connects to.
    static ServerEndpoint endpoint_for(std::uint8_t device_class, const Settings& settings);

    void on_unsolicited(RemoteConnection& connection, const char* text,
                        std::size_t length) override;
    void on_command(RemoteConnection& connection, std::uint16_t request_id, const char* text,
                    std::size_t length, CommandExpiry expiry) override;
    void on_binary_begin(RemoteConnection& connection, std::uint16_t request_id, const char* data,
                         std::size_t length) override;
    void on_binary_chunk(RemoteConnection& connection, const char* data,
                         std::size_t length) override;
    void on_binary_end(RemoteConnection& connection, const char* data, std::size_t length) override;
    void on_started(RemoteConnection& connection) override;
    void on_binary_abandoned(RemoteConnection& connection) override;

    void submit_command(std::string text, TimePoint expiry) override;

    // The state of the device's server connection; nullopt when it has none.
    std::optional<LinkStatus> link_status() const;

private:
    // Whether the link's connections may still be used. Reply callbacks and message sinks
    // outlive the link inside the device's queue; they send only while it is alive, and the
    // destructor waits for a send in progress before the connections go.
    struct Liveness {
        std::mutex mutex;
        bool alive = true;
    };

    void enqueue(RemoteConnection* connection, std::uint16_t request_id, std::string text,
                 CommandExpiry expiry);
    void write_piece(const char* data, std::size_t length);
    void end_transfer();

    // The long binary transfer on the worker thread: none (or given up before the device lock
    // was taken), writing to the device, or failed (the device lock is held until its end).
    enum class Transfer { none, writing, failed };

    std::shared_ptr<Liveness> liveness_ = std::make_shared<Liveness>();
    std::shared_ptr<Device> device_;
    std::shared_ptr<Logger> logger_;
    Timing timing_;
    std::function<void()> work_queued_;
    std::vector<std::shared_ptr<LinkComponent>> components_;
    bool started_ = false;
    std::atomic<bool> stopping_{false};
    std::uint16_t binary_request_id_ = 0;
    Transfer transfer_ = Transfer::none;
    std::vector<int> subscriptions_;
    std::mutex subscriptions_mutex_;
};

}  // namespace voxapp
