#include "system/io/event_loop.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>

namespace voxapp {

Result<EventLoop> EventLoop::create() {
    const int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) {
        return Error::from_errno(errno);
    }
    const int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    if (wake_fd < 0 || epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &event) != 0) {
        const int error = errno;
        if (wake_fd >= 0) {
            close(wake_fd);
        }
        close(epoll_fd);
        return Error::from_errno(error);
    }
    return EventLoop(epoll_fd, wake_fd);
}

EventLoop::EventLoop(EventLoop&& other) noexcept
    : epoll_fd_(other.epoll_fd_), wake_fd_(other.wake_fd_), handlers_(other.handlers_) {
    assert(other.record_count_ == 0);
    other.epoll_fd_ = -1;
    other.wake_fd_ = -1;
    other.handlers_ = nullptr;
    for (FdHandler* handler = handlers_; handler != nullptr; handler = handler->next_) {
        handler->loop_ = this;
    }
}

EventLoop::~EventLoop() {
    assert(record_count_ == 0);
    while (handlers_ != nullptr) {
        unlink(*handlers_);
    }
    if (epoll_fd_ >= 0) {
        close(epoll_fd_);
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
}

void EventLoop::wake() const noexcept {
    const std::uint64_t one = 1;
    // A full counter (never reached in practice) still leaves the descriptor readable.
    [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
}

Status EventLoop::add(FdHandler& handler) {
    if (handler.loop_ != nullptr) {
        return Error::from_errno(EEXIST);
    }
    const int fd = handler.fd();
    epoll_event event{};
    event.events = handler.events();
    event.data.ptr = &handler;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        return Error::from_errno(errno);
    }
    handler.registered_fd_ = fd;
    handler.registered_events_ = event.events;
    link(handler);
    return {};
}

Status EventLoop::modify(FdHandler& handler) {
    if (handler.loop_ != this) {
        return Error::from_errno(ENOENT);
    }
    epoll_event event{};
    event.events = handler.events();
    event.data.ptr = &handler;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, handler.registered_fd_, &event) != 0) {
        return Error::from_errno(errno);
    }
    handler.registered_events_ = event.events;
    return {};
}

Status EventLoop::remove(FdHandler& handler) {
    if (handler.loop_ != this) {
        return Error::from_errno(ENOENT);
    }
    // Failure means the kernel holds no registration for the descriptor (it was closed), so
    // the handler is forgotten either way: the caller must be able to destroy it afterwards.
    const int result = epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, handler.registered_fd_, nullptr);
    const int error = errno;
    unlink(handler);
    replace_pending(&handler, nullptr);
    if (result != 0) {
        return Error::from_errno(error);
    }
    return {};
}

Result<int> EventLoop::poll(std::int64_t timeout_ms) {
    if (record_count_ != 0) {
        return Error::fixed("EventLoop::poll called from a handler");
    }
    const int timeout =
        timeout_ms < 0 ? -1 : static_cast<int>(timeout_ms < INT_MAX ? timeout_ms : INT_MAX);
    const int count = epoll_wait(epoll_fd_, records_.data(), kMaxEvents, timeout);
    if (count < 0) {
        if (errno == EINTR) {
            return 0;
        }
        return Error::from_errno(errno);
    }
    for (int i = 0; i < count; ++i) {
        // Fresh from the kernel only the wake record has no handler; reading it re-arms it.
        if (records_[i].data.ptr == nullptr) {
            std::uint64_t wakes;
            [[maybe_unused]] const ssize_t drained = read(wake_fd_, &wakes, sizeof wakes);
        }
    }
    record_count_ = count;
    for (current_record_ = 0; current_record_ < count; ++current_record_) {
        const epoll_event& record = records_[current_record_];
        const std::uint32_t mask = record.events;
        // Any callback may remove or destroy this handler (remove clears data.ptr), so the
        // record is checked again before each call.
        if ((mask & (EPOLLIN | EPOLLPRI)) != 0 && record.data.ptr != nullptr) {
            static_cast<FdHandler*>(record.data.ptr)->on_readable();
        }
        if ((mask & EPOLLOUT) != 0 && record.data.ptr != nullptr) {
            static_cast<FdHandler*>(record.data.ptr)->on_writable();
        }
        if ((mask & (EPOLLERR | EPOLLHUP)) != 0 && record.data.ptr != nullptr) {
            static_cast<FdHandler*>(record.data.ptr)->on_error();
        }
    }
    record_count_ = 0;
    current_record_ = 0;
    return count;
}

void EventLoop::link(FdHandler& handler) {
    handler.loop_ = this;
    handler.prev_ = nullptr;
    handler.next_ = handlers_;
    if (handlers_ != nullptr) {
        handlers_->prev_ = &handler;
    }
    handlers_ = &handler;
}

void EventLoop::unlink(FdHandler& handler) {
    if (handler.prev_ != nullptr) {
        handler.prev_->next_ = handler.next_;
    } else {
        handlers_ = handler.next_;
    }
    if (handler.next_ != nullptr) {
        handler.next_->prev_ = handler.prev_;
    }
    handler.loop_ = nullptr;
    handler.prev_ = nullptr;
    handler.next_ = nullptr;
    handler.registered_fd_ = -1;
    handler.registered_events_ = 0;
}

// A new handler may be added at the address of a removed one within the same batch; clearing
// the old records at removal keeps them from reaching it.
void EventLoop::replace_pending(const FdHandler* old_handler, FdHandler* new_handler) {
    for (int i = current_record_; i < record_count_; ++i) {
        if (records_[i].data.ptr == old_handler) {
            records_[i].data.ptr = new_handler;
        }
    }
}

void EventLoop::transfer(FdHandler& from, FdHandler& to) noexcept {
    const int fd = from.registered_fd_;
    const std::uint32_t events = from.registered_events_;
    epoll_event event{};
    event.events = events;
    event.data.ptr = &to;
    // Fails only when the descriptor is already closed, and then no event can arrive for it.
    (void)epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &event);
    unlink(from);
    link(to);
    to.registered_fd_ = fd;
    to.registered_events_ = events;
    replace_pending(&from, &to);
}

}  // namespace voxapp
