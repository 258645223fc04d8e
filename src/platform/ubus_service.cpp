#include "platform/ubus_service.hpp"

#if VOXAPP_HAVE_LIBUBUS

extern "C" {
#include <libubus.h>
}

#include <poll.h>
#include <sys/eventfd.h>
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
#include <thread>
#include <utility>
#include <vector>

#include "core/sigpipe_guard.hpp"
#include "platform/blob_message_writer.hpp"
#include "platform/gps_receiver.hpp"
#include "platform/ubus_connection.hpp"
#include "system/io/timer.hpp"

namespace voxapp {

namespace {

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t to_ns(std::chrono::milliseconds duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

// Whether ubusd at `path` sends its greeting within the limit. ubus_connect reads the greeting
// without a limit, so a ubusd that accepts but does not answer (stopped, overloaded) would hold
// the connecting thread for good; this asks first, on a socket of its own.
bool ubusd_greets(const std::string& path, std::chrono::milliseconds limit) {
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
        greeted = poll(&ready, 1, static_cast<int>(limit.count())) == 1 &&
                  (ready.revents & POLLIN) != 0;
    }
    close(fd);
    return greeted;
}

// Whether a message can be written to `fd` without waiting: libubus waits without a limit for
// room in the socket, and the loop must not.
bool writable(int fd) {
    pollfd ready{fd, POLLOUT, 0};
    return poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0;
}

}  // namespace

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
          gps(std::make_shared<PolledGpsReceiver>(timing_.fix_max_age, monotonic_ns)) {
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
        call_started.store(monotonic_ns());
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
        if (started != 0 && now - started > to_ns(timing.call_limit)) {
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
        std::int64_t retry = to_ns(timing.first_retry);
        std::int64_t next_connect = 0;
        std::int64_t next_gps = 0;
        bool greeting_missed = false;
        while (!stopping.load()) {
            const std::int64_t now = monotonic_ns();
            cut_if_stuck(now);
            std::int64_t next = now + to_ns(std::chrono::milliseconds(250));
            if (!published.load()) {
                if (now >= next_connect) {
                    if (connect(greeting_missed)) {
                        retry = to_ns(timing.first_retry);
                        next_gps = now;
                    } else {
                        next_connect = now + retry;
                        retry = std::min(retry * 2, to_ns(timing.max_retry));
                    }
                }
                next = std::min(next, std::max(next_connect, now));
            } else if (!lost.load()) {
                retry = to_ns(timing.first_retry);
                next_connect = now + retry;
                send_events();
                if (now >= next_gps) {
                    read_gps();
                    next_gps = now + to_ns(timing.gps_period);
                }
                next = std::min(next, next_gps);
            }
            std::unique_lock lock(events_mutex);
            std::int64_t wait = next - monotonic_ns();
            if (!events.empty() && published.load()) {
                // Events the lock kept back this round: again soon, without spinning.
                wait = std::min(wait, to_ns(std::chrono::milliseconds(10)));
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

// The loop's side: the wake descriptor, the bus socket, and the timers that retry and watch.
class UbusService::Loop {
public:
    Loop(EventLoop& loop, std::shared_ptr<Shared> shared)
        : loop_(loop), shared_(std::move(shared)), wake_(*this), socket_(*this) {}
    ~Loop() { release_handlers(); }

    Status init() {
        Status added = loop_.add(wake_);
        if (!added) {
            return added;
        }
        const auto period = std::max<std::int64_t>(shared_->timing.call_limit.count() / 2, 1);
        auto watchdog = Timer::create(period, period, [this] {
            shared_->cut_if_stuck(monotonic_ns());
            serve();
        });
        if (!watchdog) {
            return watchdog.error();
        }
        watchdog_.emplace(std::move(*watchdog));
        return loop_.add(*watchdog_);
    }

    void start() {
        auto timer = Timer::create(0, 0, [this] { start_worker(); });
        if (timer) {
            start_timer_.emplace(std::move(*timer));
            (void)loop_.add(*start_timer_);
        }
    }

    void stop() {
        start_timer_.reset();
        if (worker_.joinable()) {
            shared_->stopping.store(true);
            shared_->cut();
            std::unique_lock lock(shared_->events_mutex);
            shared_->worker_wake.notify_all();
            const bool done = shared_->worker_wake.wait_for(
                lock, shared_->timing.stop_limit, [this] { return shared_->worker_done; });
            lock.unlock();
            if (done) {
                worker_.join();
            } else {
                // Stuck inside libubus (connecting to a ubusd that stopped mid-greeting): the
                // process is ending, so it is left behind with what it holds.
                shared_->logger->warning("[Ubus] The bus worker does not end; leaving it behind");
                worker_.detach();
                abandoned_ = true;
            }
        }
        release_handlers();
        // The reply may hold the services it reports on; they go their own way from here.
        reply_ = nullptr;
        if (!abandoned_) {
            std::lock_guard lock(shared_->bus);
            free_context();
        }
    }

private:
    class Wake final : public FdHandler {
    public:
        explicit Wake(Loop& owner) : owner_(owner) {}
        ~Wake() override { unregister(); }
        int fd() const override { return owner_.shared_->wake_fd; }
        std::uint32_t events() const override { return EPOLLIN; }
        void on_readable() override {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = read(fd(), &count, sizeof count);
            owner_.serve();
        }
        void on_writable() override {}
        void on_error() override {}

    private:
        Loop& owner_;
    };

    class Socket final : public FdHandler {
    public:
        explicit Socket(Loop& owner) : owner_(owner) {}
        ~Socket() override { unregister(); }
        int fd() const override { return fd_; }
        std::uint32_t events() const override { return EPOLLIN; }
        void on_readable() override { owner_.on_socket_ready(); }
        void on_writable() override {}
        void on_error() override { owner_.on_socket_ready(); }

        int fd_ = -1;

    private:
        Loop& owner_;
    };

    // Runs from the start timer's callback, which must not destroy that timer: it stays until
    // stop.
    void start_worker() {
        if (worker_.joinable()) {
            return;
        }
        {
            std::lock_guard lock(shared_->events_mutex);
            shared_->worker_done = false;
        }
        worker_ = std::thread([shared = shared_] { shared->run(); });
    }

    // Brings the loop's view up to date with the worker's: frees a lost connection, watches a
    // new one, answers the calls handed over.
    void serve() {
        if (shared_->lost.load()) {
            release_lost();
            return;
        }
        if (!shared_->published.load()) {
            return;
        }
        std::unique_lock lock(shared_->bus, std::try_to_lock);
        if (!lock.owns_lock()) {
            retry_soon();
            return;
        }
        if (!socket_.registered() || socket_.fd_ != shared_->socket_fd.load()) {
            if (socket_.registered()) {
                (void)loop_.remove(socket_);
            }
            socket_.fd_ = shared_->socket_fd.load();
            (void)loop_.add(socket_);
        }
        answer_pending();
    }

    void on_socket_ready() {
        std::unique_lock lock(shared_->bus, std::try_to_lock);
        if (!lock.owns_lock()) {
            // The worker is inside a call and reads the socket itself meanwhile; watch it again
            // shortly (serve adds it back) instead of spinning on a descriptor that stays ready.
            (void)loop_.remove(socket_);
            retry_soon();
            return;
        }
        if (shared_->context == nullptr || shared_->lost.load()) {
            lock.unlock();
            release_lost();
            return;
        }
        shared_->timed([&] {
            SigpipeGuard guard;
            ubus_handle_event(shared_->context);
            return 0;
        });
        answer_pending();
        if (shared_->lost.load()) {
            lock.unlock();
            release_lost();
        }
    }

    // Bus lock held.
    void answer_pending() {
        if (shared_->pending.empty() || shared_->context == nullptr) {
            return;
        }
        std::vector<ubus_request_data> calls;
        calls.swap(shared_->pending);
        for (ubus_request_data& call : calls) {
            blob_buf reply{};
            blob_buf_init(&reply, 0);
            BlobMessageWriter writer(reply);
            if (reply_) {
                reply_(writer);
            }
            if (!shared_->lost.load() && writable(shared_->context->sock.fd)) {
                shared_->timed([&] {
                    SigpipeGuard guard;
                    ubus_send_reply(shared_->context, &call, reply.head);
                    ubus_complete_deferred_request(shared_->context, &call, UBUS_STATUS_OK);
                    return 0;
                });
            }
            blob_buf_free(&reply);
        }
    }

    void release_lost() {
        // Out of epoll before the descriptor closes, so its number can never name another's.
        if (socket_.registered()) {
            (void)loop_.remove(socket_);
        }
        std::unique_lock lock(shared_->bus, std::try_to_lock);
        if (!lock.owns_lock()) {
            retry_soon();
            return;
        }
        if (shared_->context != nullptr) {
            shared_->logger->warning("[Ubus] Lost the system bus; connecting again");
        }
        free_context();
        lock.unlock();
        std::lock_guard events(shared_->events_mutex);
        shared_->worker_wake.notify_all();
    }

    // Bus lock held.
    void free_context() {
        shared_->pending.clear();
        shared_->set_cut_fd(-1);
        shared_->gps_library.reset();
        if (shared_->context != nullptr) {
            ubus_free(shared_->context);
            shared_->context = nullptr;
        }
        shared_->gps->clear();
        shared_->socket_fd.store(-1);
        shared_->published.store(false);
        shared_->lost.store(false);
    }

    void retry_soon() {
        if (!retry_) {
            auto timer = Timer::create(20, 0, [this] { serve(); });
            if (!timer) {
                return;
            }
            retry_.emplace(std::move(*timer));
            (void)loop_.add(*retry_);
            return;
        }
        (void)retry_->arm_one_shot(20);
    }

    void release_handlers() {
        start_timer_.reset();
        retry_.reset();
        watchdog_.reset();
        if (socket_.registered()) {
            (void)loop_.remove(socket_);
        }
        if (wake_.registered()) {
            (void)loop_.remove(wake_);
        }
    }

    EventLoop& loop_;
    std::shared_ptr<Shared> shared_;
    Wake wake_;
    Socket socket_;
    std::optional<Timer> start_timer_;
    std::optional<Timer> retry_;
    std::optional<Timer> watchdog_;
    std::thread worker_;
    bool abandoned_ = false;

public:
    MessageBuilder reply_;
};

Result<std::shared_ptr<UbusService>> UbusService::create(EventLoop& loop,
                                                         std::shared_ptr<Logger> logger,
                                                         std::string socket_path, Timing timing) {
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        return Error::from_errno(errno);
    }
    std::shared_ptr<UbusService> service(new UbusService());
    service->shared_ =
        std::make_shared<Shared>(std::move(logger), std::move(socket_path), timing, wake);
    service->loop_ = std::make_unique<Loop>(loop, service->shared_);
    if (Status ready = service->loop_->init(); !ready) {
        return ready.error();
    }
    return service;
}

UbusService::~UbusService() {
    if (loop_) {
        loop_->stop();
    }
}

std::shared_ptr<PolledGpsReceiver> UbusService::gps_receiver() const {
    return shared_->gps;
}

void UbusService::set_object(std::string name, std::string method, MessageBuilder reply) {
    Shared& s = *shared_;
    s.object_name = std::move(name);
    s.method_name = std::move(method);
    s.method = ubus_method{};
    s.method.name = s.method_name.c_str();
    s.method.handler = &Shared::on_call;
    s.type = ubus_object_type{};
    s.type.name = s.object_name.c_str();
    s.type.methods = &s.method;
    s.type.n_methods = 1;
    s.slot.object = ubus_object{};
    s.slot.object.name = s.object_name.c_str();
    s.slot.object.type = &s.type;
    s.slot.object.methods = &s.method;
    s.slot.object.n_methods = 1;
    loop_->reply_ = std::move(reply);
}

void UbusService::start() {
    loop_->start();
}

void UbusService::stop() {
    loop_->stop();
}

void UbusService::send_event(const std::string& id, const MessageBuilder& data) {
    blob_buf buffer{};
    blob_buf_init(&buffer, 0);
    BlobMessageWriter writer(buffer);
    data(writer);
    const auto* bytes = reinterpret_cast<const char*>(buffer.head);
    std::vector<char> copy(bytes, bytes + blob_raw_len(buffer.head));
    blob_buf_free(&buffer);
    shared_->queue_event(id, std::move(copy));
}

bool UbusService::connected() const {
    return shared_->published.load() && !shared_->lost.load();
}

}  // namespace voxapp

#else  // no libubus

namespace voxapp {

struct UbusService::Shared {};
class UbusService::Loop {};

Result<std::shared_ptr<UbusService>> UbusService::create(EventLoop&, std::shared_ptr<Logger>,
                                                         std::string, Timing) {
    return Error::fixed("This build has no system bus (libubus)");
}

UbusService::~UbusService() = default;
std::shared_ptr<PolledGpsReceiver> UbusService::gps_receiver() const {
    return nullptr;
}
void UbusService::set_object(std::string, std::string, MessageBuilder) {}
void UbusService::start() {}
void UbusService::stop() {}
void UbusService::send_event(const std::string&, const MessageBuilder&) {}
bool UbusService::connected() const {
    return false;
}

}  // namespace voxapp

#endif
