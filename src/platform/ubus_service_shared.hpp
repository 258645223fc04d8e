#pragma once

// The state that UbusService's worker thread and its loop side share, and the worker itself.
// Included by ubus_service.cpp alone.

#if VOXAPP_HAVE_LIBUBUS

extern "C" {
#include <libubus.h>
}

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/sigpipe_guard.hpp"
#include "platform/gps_receiver.hpp"
#include "platform/ubus_connection.hpp"
#include "platform/ubus_service.hpp"

namespace voxapp {

inline std::int64_t bus_monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

inline std::int64_t bus_ns(std::chrono::milliseconds duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

// Whether ubusd at `path` sends its greeting within the limit. ubus_connect reads the greeting
// without a limit, so a ubusd that accepts but does not answer (stopped, overloaded) would hold
// the connecting thread for good; this asks first, on a socket of its own.
inline bool ubusd_greets(const std::string& path, std::chrono::milliseconds limit) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    bool greeted = false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        pollfd ready{fd, POLLIN, 0};
        greeted =
            poll(&ready, 1, static_cast<int>(limit.count())) == 1 && (ready.revents & POLLIN) != 0;
    }
    close(fd);
    return greeted;
}

// Whether a message can be written to `fd` without waiting: libubus waits without a limit for
// room in the socket, and the loop must not.
inline bool bus_writable(int fd) {
    pollfd ready{fd, POLLOUT, 0};
    return poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0;
}

// What the worker and the loop share. The worker holds it too, so a worker left behind at stop
// never touches freed memory.
struct UbusService::Shared : std::enable_shared_from_this<Shared> {
    // The object as libubus sees it; the method handler finds its way back through `owner`.
    struct ObjectSlot {
        ubus_object object{};
        Shared* owner = nullptr;
    };

    Shared(std::shared_ptr<Logger> logger_, std::string socket_path_, Timing timing_, int wake_fd_)
        : logger(std::move(logger_)),
          socket_path(std::move(socket_path_)),
          timing(timing_),
          wake_fd(wake_fd_),
          gps(std::make_shared<PolledGpsReceiver>(timing_.fix_max_age, bus_monotonic_ns)) {
        slot.owner = this;
    }
    ~Shared() {
        // Only a context no thread can be using any more is freed here.
        if (context != nullptr && worker_done) {
            ubus_free(context);
        }
        close(wake_fd);
    }

    // --- called with the bus lock held ---

    // Runs one libubus call, stamped so that the other thread can cut it when it overruns.
    template <typename Call>
    auto timed(Call call) {
        call_started.store(bus_monotonic_ns());
        auto result = call();
        call_started.store(0);
        if (context != nullptr && context->sock.eof) {
            lost.store(true);
            wake_loop();
        }
        return result;
    }

    static int on_call(ubus_context* ctx, ubus_object* object, ubus_request_data* request,
                       const char* /*method*/, blob_attr* /*message*/) {
        Shared& self = *reinterpret_cast<ObjectSlot*>(object)->owner;
        if (self.pending.size() >= kMaxPendingCalls) {
            return UBUS_STATUS_UNKNOWN_ERROR;
        }
        ubus_request_data deferred{};
        ubus_defer_request(ctx, request, &deferred);
        self.pending.push_back(deferred);
        self.wake_loop();
        return UBUS_STATUS_OK;
    }

    // --- any thread ---

    void wake_loop() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wake_fd, &one, sizeof one);
    }

    // Shuts the socket down under a call that has run longer than the limit; the call then
    // fails at once and the connection counts as lost.
    void cut_if_stuck(std::int64_t now) {
        const std::int64_t started = call_started.load();
        if (started != 0 && now - started > bus_ns(timing.call_limit)) {
            if (cut()) {
                logger->warning("[Ubus] A bus call took longer than " +
                                std::to_string(timing.call_limit.count()) +
                                " ms; dropping the connection");
            }
        }
    }

    bool cut() {
        std::lock_guard lock(cut_mutex);
        if (cut_fd < 0) {
            return false;
        }
        shutdown(cut_fd, SHUT_RDWR);
        cut_fd = -1;
        return true;
    }

    void set_cut_fd(int fd) {
        std::lock_guard lock(cut_mutex);
        cut_fd = fd;
    }

    void queue_event(std::string id, std::vector<char> data) {
        std::lock_guard lock(events_mutex);
        if (events.size() >= kMaxQueuedEvents) {
            events.pop_front();
        }
        events.emplace_back(std::move(id), std::move(data));
        worker_wake.notify_one();
    }

    // --- the worker ---

    void run() {
        std::int64_t retry = bus_ns(timing.first_retry);
        std::int64_t next_connect = 0;
        std::int64_t next_gps = 0;
        bool greeting_missed = false;
        while (!stopping.load()) {
            const std::int64_t now = bus_monotonic_ns();
            cut_if_stuck(now);
            std::int64_t next = now + bus_ns(std::chrono::milliseconds(250));
            if (!published.load()) {
                if (now >= next_connect) {
                    if (connect(greeting_missed)) {
                        retry = bus_ns(timing.first_retry);
                        next_gps = now;
                    } else {
                        next_connect = now + retry;
                        retry = std::min(retry * 2, bus_ns(timing.max_retry));
                    }
                }
                next = std::min(next, std::max(next_connect, now));
            } else if (!lost.load()) {
                retry = bus_ns(timing.first_retry);
                next_connect = now + retry;
                send_events();
                if (now >= next_gps) {
                    read_gps();
                    next_gps = now + bus_ns(timing.gps_period);
                }
                next = std::min(next, next_gps);
            }
            std::unique_lock lock(events_mutex);
            std::int64_t wait = next - bus_monotonic_ns();
            if (!events.empty() && published.load()) {
                // Events the lock kept back this round: again soon, without spinning.
                wait = std::min(wait, bus_ns(std::chrono::milliseconds(10)));
            }
            if (wait > 0 && !stopping.load()) {
                worker_wake.wait_for(lock, std::chrono::nanoseconds(wait));
            }
        }
        std::lock_guard lock(events_mutex);
        worker_done = true;
        worker_wake.notify_all();
    }

    bool connect(bool& greeting_missed) {
        if (!ubusd_greets(socket_path, timing.greeting_limit)) {
            if (!greeting_missed) {
                logger->warning("[Ubus] The system bus at " + socket_path +
                                " does not answer; trying again");
                greeting_missed = true;
            }
            return false;
        }
        std::unique_lock lock(bus, std::try_to_lock);
        if (!lock.owns_lock()) {
            return false;
        }
        ubus_context* fresh = open_ubus_context(socket_path);
        if (fresh == nullptr) {
            return false;
        }
        set_cut_fd(fresh->sock.fd);
        context = fresh;
        // A new connection knows nothing of the ids the previous one was given.
        slot.object.id = 0;
        type.id = 0;
        const int added = timed([&] {
            SigpipeGuard guard;
            return ubus_add_object(context, &slot.object);
        });
        if (lost.load()) {
            set_cut_fd(-1);
            ubus_free(context);
            context = nullptr;
            lost.store(false);
            return false;
        }
        if (added != UBUS_STATUS_OK) {
            logger->error("[Ubus] Failed to add the bus object " + object_name + ": " +
                          ubus_strerror(added));
        }
        gps_library = make_gps_receiver(UbusContextHandle(context, [](ubus_context*) {}));
        socket_fd.store(context->sock.fd);
        published.store(true);
        lock.unlock();
        greeting_missed = false;
        logger->info("[Ubus] Connected to the system bus at " + socket_path);
        wake_loop();
        return true;
    }

    void read_gps() {
        std::unique_lock lock(bus, std::try_to_lock);
        if (!lock.owns_lock() || context == nullptr || lost.load()) {
            return;
        }
        GpsRecordBytes record{};
        const int result = timed([&] { return gps_library->get(record); });
        if (lost.load()) {
            return;
        }
        gps->store(result, record);
    }

    void send_events() {
        std::unique_lock lock(bus, std::try_to_lock);
        if (!lock.owns_lock() || context == nullptr) {
            return;
        }
        while (!lost.load() && !stopping.load()) {
            std::pair<std::string, std::vector<char>> event;
            {
                std::lock_guard queue(events_mutex);
                if (events.empty()) {
                    return;
                }
                event = std::move(events.front());
                events.pop_front();
            }
            timed([&] {
                SigpipeGuard guard;
                return ubus_send_event(context, event.first.c_str(),
                                       reinterpret_cast<blob_attr*>(event.second.data()));
            });
        }
    }

    const std::shared_ptr<Logger> logger;
    const std::string socket_path;
    const Timing timing;
    const int wake_fd;  // an eventfd the loop watches
    const std::shared_ptr<PolledGpsReceiver> gps;

    // The object; fixed before the worker starts.
    std::string object_name;
    std::string method_name;
    ubus_method method{};
    ubus_object_type type{};
    ObjectSlot slot;

    // The bus lock, and what it guards.
    std::mutex bus;
    ubus_context* context = nullptr;  // made by the worker, freed by the loop
    std::vector<ubus_request_data> pending;
    std::shared_ptr<GpsReceiver> gps_library;

    // The socket a cut shuts down; -1 once it has been cut or freed.
    std::mutex cut_mutex;
    int cut_fd = -1;
    std::atomic<std::int64_t> call_started{0};

    std::atomic<bool> published{false};  // `context` is up and the loop may serve it
    std::atomic<bool> lost{false};       // its socket failed; the loop frees it
    std::atomic<int> socket_fd{-1};
    std::atomic<bool> stopping{false};

    std::mutex events_mutex;  // also guards worker_done
    std::condition_variable worker_wake;
    std::deque<std::pair<std::string, std::vector<char>>> events;
    bool worker_done = true;
};

}  // namespace voxapp

#endif
