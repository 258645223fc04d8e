#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "system/io/event_loop.hpp"
#include "system/io/fd_handler.hpp"

namespace voxapp::test {

// Polls until `done` holds or `bound` has passed; false on timeout or a poll error.
template <typename Done>
bool poll_until(EventLoop& loop, Done done,
                std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline || !loop.poll(50).ok()) {
            return false;
        }
    }
    return true;
}

// A pipe whose ends close with it. Non-blocking and close-on-exec unless `flags` say otherwise.
struct TestPipe {
    explicit TestPipe(int flags = O_NONBLOCK | O_CLOEXEC) {
        int fds[2];
        if (pipe2(fds, flags) == 0) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    ~TestPipe() {
        close_read();
        close_write();
    }
    TestPipe(const TestPipe&) = delete;
    TestPipe& operator=(const TestPipe&) = delete;

    bool put(const std::string& bytes) const {
        return write(write_end, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    void close_read() {
        if (read_end >= 0) {
            close(std::exchange(read_end, -1));
        }
    }
    void close_write() {
        if (write_end >= 0) {
            close(std::exchange(write_end, -1));
        }
    }

    int read_end = -1;
    int write_end = -1;
};

// A handler that logs "<name>:readable", "<name>:writable" and "<name>:error" and then runs the
// matching hook, if any. A hook may destroy the handler.
class LoggingHandler : public FdHandler {
public:
    LoggingHandler(std::string name, int fd, std::uint32_t events, std::vector<std::string>& log)
        : name_(std::move(name)), fd_(fd), events_(events), log_(&log) {}

    int fd() const override { return fd_; }
    std::uint32_t events() const override { return events_; }
    void on_readable() override { call("readable", on_readable_hook); }
    void on_writable() override { call("writable", on_writable_hook); }
    void on_error() override { call("error", on_error_hook); }

    void set_events(std::uint32_t events) { events_ = events; }

    std::function<void()> on_readable_hook;
    std::function<void()> on_writable_hook;
    std::function<void()> on_error_hook;

private:
    void call(const char* what, const std::function<void()>& hook) {
        log_->push_back(name_ + ":" + what);
        if (hook) {
            auto keep_alive = hook;  // the hook may destroy this handler
            keep_alive();
        }
    }

    std::string name_;
    int fd_;
    std::uint32_t events_;
    std::vector<std::string>* log_;
};

}  // namespace voxapp::test
