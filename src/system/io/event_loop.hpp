#pragma once

#include <sys/epoll.h>

#include <array>
#include <cstdint>

#include "core/result.hpp"
#include "system/io/fd_handler.hpp"

namespace voxapp {

// One epoll instance serving every descriptor handler of the main thread.
//
// Threads: every member is called on one thread, the loop's; handlers run on it inside poll.
// Ownership: the loop does not own handlers; a handler stays alive while registered or is
// destroyed, which removes it (see FdHandler). Add, modify and remove may be called from inside
// a handler; poll, moving and destroying the loop may not. wake is the one exception to the
// single thread: any thread and signal handlers may call it.
class EventLoop {
public:
    // The most records taken from the kernel per poll; the rest wait for the next poll.
    static constexpr int kMaxEvents = 16;

    // Error: errno of epoll_create1, or of eventfd for the wake descriptor.
    static Result<EventLoop> create();

    // Moves the registrations too: handlers then refer to the new loop.
    EventLoop(EventLoop&& other) noexcept;
    EventLoop& operator=(EventLoop&&) = delete;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;
    // Detaches the handlers still registered; they are not called again.
    ~EventLoop();

    // Watches handler.fd() for handler.events(). Error: errno of epoll_ctl, or EEXIST when the
    // handler is already registered (with this or another loop).
    Status add(FdHandler& handler);
    // Applies the handler's current events(). Error: errno of epoll_ctl, or ENOENT when the
    // handler is not registered with this loop.
    Status modify(FdHandler& handler);
    // Stops watching the handler; records of the current poll are not delivered to it any more.
    // Afterwards the handler is unregistered even if epoll_ctl failed (its errno is returned
    // then). Error ENOENT when the handler is not registered with this loop.
    Status remove(FdHandler& handler);

    // Waits at most timeout_ms (negative: without limit) for ready descriptors and dispatches
    // at most kMaxEvents records. Returns the number of records taken, 0 when interrupted by a
    // signal. Error: errno of epoll_wait. Allocates nothing.
    Result<int> poll(std::int64_t timeout_ms);

    // Makes the current or the next poll return at once, from any thread or from a signal
    // handler (async-signal-safe): work was handed to the loop's thread outside any handler. A
    // wake that comes before the poll is kept for it, never lost. The record is counted by poll
    // but reaches no handler.
    void wake() const noexcept;

private:
    EventLoop(int epoll_fd, int wake_fd) : epoll_fd_(epoll_fd), wake_fd_(wake_fd) {}

    void link(FdHandler& handler);
    void unlink(FdHandler& handler);
    void replace_pending(const FdHandler* old_handler, FdHandler* new_handler);
    // Moves `from`'s registration to `to` (FdHandler's move operations).
    void transfer(FdHandler& from, FdHandler& to) noexcept;

    friend class FdHandler;

    int epoll_fd_ = -1;
    // An eventfd, registered with a null record pointer (no handler ever has one).
    int wake_fd_ = -1;
    FdHandler* handlers_ = nullptr;
    std::array<epoll_event, kMaxEvents> records_{};
    // The batch being dispatched: records [current_record_, record_count_) may still be
    // delivered. record_count_ is 0 outside poll.
    int record_count_ = 0;
    int current_record_ = 0;
};

}  // namespace voxapp
