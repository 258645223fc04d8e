#pragma once

#include <cstdint>

namespace voxapp {

class EventLoop;

// Something the event loop watches: one descriptor and what to do when it is ready.
//
// Calls: the loop calls on_readable, on_writable and on_error on its own thread, from inside
// EventLoop::poll, one handler at a time. For one ready record it calls on_readable (EPOLLIN or
// EPOLLPRI), then on_writable (EPOLLOUT), then on_error (EPOLLERR or EPOLLHUP); each of these is
// skipped once the handler has been removed.
//
// Registration: EventLoop::add links the handler to the loop; the registration belongs to
// whoever made it. Inside a callback a handler may add, modify or remove any handler, itself
// included, and may destroy any handler: a handler that is removed or destroyed is never called
// again, not even for records the loop already holds. A handler that destroys itself must not
// touch its members afterwards.
//
// Lifetime: destroying a handler removes it from its loop. A derived class that closes its
// descriptor in its destructor calls unregister() first, so the descriptor is taken out of epoll
// while it is still open. Moving a registered handler moves the registration: the loop then
// points at the new object. Destroying the loop first is allowed; its handlers are detached.
class FdHandler {
public:
    virtual ~FdHandler();

    // The descriptor to watch; read when the handler is added.
    virtual int fd() const = 0;
    // The epoll interest mask; read by add and modify.
    virtual std::uint32_t events() const = 0;
    virtual void on_readable() = 0;
    virtual void on_writable() = 0;
    virtual void on_error() = 0;

    // The loop this handler is registered with, or null.
    EventLoop* event_loop() const { return loop_; }
    bool registered() const { return loop_ != nullptr; }

    FdHandler(const FdHandler&) = delete;
    FdHandler& operator=(const FdHandler&) = delete;

protected:
    FdHandler() = default;
    // Takes over `other`'s registration, if any.
    FdHandler(FdHandler&& other) noexcept;
    // Drops this handler's registration, then takes over `other`'s.
    FdHandler& operator=(FdHandler&& other) noexcept;

    // Removes the handler from its loop, if registered; errors are ignored.
    void unregister() noexcept;

private:
    friend class EventLoop;

    EventLoop* loop_ = nullptr;
    // The loop's intrusive list of registered handlers: registering never allocates.
    FdHandler* prev_ = nullptr;
    FdHandler* next_ = nullptr;
    // As registered, so that removal never needs the virtual fd() of a half-destroyed object.
    int registered_fd_ = -1;
    std::uint32_t registered_events_ = 0;
};

}  // namespace voxapp
