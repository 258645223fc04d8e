#include "platform/ubus_service.hpp"

#if VOXAPP_HAVE_LIBUBUS

#include <sys/eventfd.h>

#include <thread>

#include "platform/blob_message_writer.hpp"
#include "platform/ubus_service_shared.hpp"
#include "system/io/timer.hpp"

namespace voxapp {

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
            shared_->cut_if_stuck(bus_monotonic_ns());
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
            if (!shared_->lost.load() && bus_writable(shared_->context->sock.fd)) {
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
