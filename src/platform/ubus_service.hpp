#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "core/result.hpp"
#include "platform/bus_message_writer.hpp"
#include "platform/polled_gps_receiver.hpp"
#include "system/io/event_loop.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

struct UbusServiceTiming {
    // How often the worker asks the GPS library, and how old its answer may be when read.
    std::chrono::milliseconds gps_period{500};
    std::chrono::milliseconds fix_max_age{2000};
    // A bus call that takes longer is cut: the socket is shut down and the connection made anew.
    std::chrono::milliseconds call_limit{1500};
    // How long ubusd has to greet a new connection.
    std::chrono::milliseconds greeting_limit{1000};
    // Delay before connecting again, doubled after each failure up to the maximum.
    std::chrono::milliseconds first_retry{250};
    std::chrono::milliseconds max_retry{5000};
    // How long stop waits for the worker before leaving it behind.
    std::chrono::milliseconds stop_limit{2000};
};

// The daemon's one connection to the router's system bus (ubusd), shared by the GPS library
// and the daemon's own bus object.
//
// A worker thread connects (and connects again, with a growing delay, after ubusd went away),
// adds the object, asks the GPS library for the position twice a second and sends the queued
// events. The object's calls are answered on the main loop: the bus socket is one of the loop's
// handlers, and a call that reached the worker (libubus dispatches whatever arrives during any
// call) is handed over to the loop. libubus is not thread-safe, so one lock covers every call
// into it; the loop only ever tries that lock and never waits for it. Neither side can hang on
// a wedged ubusd: a call that outlasts the limit is cut by shutting the socket down from the
// other side, connecting waits for ubusd's greeting with a limit, and stop leaves a stuck worker
// behind rather than waiting for it.
//
// Threads: create, set_object, start, stop and the destructor on the loop's thread; send_event,
// connected and the GPS receiver from any thread.
class UbusService {
public:
    using Timing = UbusServiceTiming;
    using MessageBuilder = std::function<void(BusMessageWriter&)>;

    // Events waiting to be sent beyond this drop the oldest; calls waiting for the loop beyond
    // this are refused.
    static constexpr std::size_t kMaxQueuedEvents = 64;
    static constexpr std::size_t kMaxPendingCalls = 16;

    // Error "This build has no system bus (libubus)" in a build without libubus.
    static Result<std::shared_ptr<UbusService>> create(EventLoop& loop,
                                                       std::shared_ptr<Logger> logger,
                                                       std::string socket_path, Timing timing = {});
    ~UbusService();
    UbusService(const UbusService&) = delete;
    UbusService& operator=(const UbusService&) = delete;

    // The position as the worker last read it (see PolledGpsReceiver).
    std::shared_ptr<PolledGpsReceiver> gps_receiver() const;

    // The object added on every connection: `name` with one method `method` (no arguments)
    // whose reply `reply` writes, on the loop's thread. Before start.
    void set_object(std::string name, std::string method, MessageBuilder reply);

    // Starts the worker on the loop's next pass (so that nothing of libubus's set-up runs
    // before the daemon's signal handlers are in place) and returns at once.
    void start();
    // Ends the worker, waiting at most the stop limit, and closes the connection.
    void stop();

    // Queues the event `id` with the data `data` writes; the worker sends it.
    void send_event(const std::string& id, const MessageBuilder& data);

    // Whether a connection is up now.
    bool connected() const;

private:
    struct Shared;
    class Loop;

    UbusService() = default;

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Loop> loop_;
};

}  // namespace voxapp
