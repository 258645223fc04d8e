#pragma once

#include <sys/epoll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "core/result.hpp"
#include "system/io/event_loop.hpp"
#include "system/io/fd_handler.hpp"

namespace voxapp {

// Runs shell commands as child processes and reports each exit code on the event loop's thread.
//
// A process-wide SIGCHLD handler (installed by the first runner, never removed) writes a byte
// into the pipe of every live runner; the runner, registered with the loop, then reaps its own
// children with waitpid. At most kMaxInstances runners exist at a time. Each command runs in a
// process group of its own, so that stopping it stops what its shell started as well.
//
// Threads: create, run, has_running_children and destruction on the loop's thread only.
// Callbacks: each started command's callback is called exactly once, on the loop's thread from
// inside EventLoop::poll, with the exit code: the exit status (0..255) when the child exited,
// minus the signal number when a signal killed it, -1 otherwise (also when the child was reaped
// by someone else). Callbacks of children that ended together run in ascending pid order, each
// after its child has left the runner, so a callback may start new commands; it must not
// destroy or move the runner. Destroying the runner discards pending callbacks without calling
// them; their children are neither killed nor reaped by it (stop_children does both first).
class ProcessRunner final : public FdHandler {
public:
    using Callback = std::function<void(int exit_code)>;

    static constexpr int kMaxInstances = 16;

    // Makes the pipe, installs the SIGCHLD handler if needed, takes a slot and adds the runner
    // to `loop`. Errors: errno of pipe2, sigaction or epoll_ctl; "Too many ProcessRunner
    // instances" when all slots are taken.
    static Result<ProcessRunner> create(EventLoop& loop);

    // A move keeps the loop registration pointing at the new object.
    ProcessRunner(ProcessRunner&& other) noexcept;
    ProcessRunner& operator=(ProcessRunner&& other) noexcept;
    ~ProcessRunner() override;

    // Starts "/bin/sh -c command" with standard input, output and error on "/dev/null" and
    // returns at once. An empty callback is allowed. Errors: "Not registered with event loop"
    // (the runner was moved from, or its loop is gone), errno of fork.
    Status run(const std::string& command, Callback callback);

    // Sends `signal_number` to the process group of every running child. Their callbacks still
    // come when they are reaped.
    void signal_children(int signal_number);

    // Stops every running child and waits for it: SIGTERM to its group, up to `grace` for it to
    // end, then SIGKILL. Every child is reaped before this returns; their callbacks are dropped.
    // Blocks the calling thread for up to `grace`: for shutdown.
    void stop_children(std::chrono::milliseconds grace);

    // True while a started child has not been reaped.
    bool has_running_children() const { return !children_.empty(); }

    int fd() const override { return read_fd_; }
    std::uint32_t events() const override { return EPOLLIN; }
    // Drains the pipe and reaps whichever of this runner's children have ended.
    void on_readable() override;
    void on_writable() override {}
    void on_error() override {}

private:
    ProcessRunner(int read_fd, int write_fd, int slot);
    void release() noexcept;

    int read_fd_ = -1;
    int write_fd_ = -1;
    int slot_ = -1;
    std::map<pid_t, Callback> children_;
};

}  // namespace voxapp
