#include "system/io/process_runner.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <utility>

namespace voxapp {
namespace {

constexpr int kFreeSlot = -1;

// Pipe write ends of the live runners, read by the SIGCHLD handler on any thread: lock-free
// atomics only.
std::atomic<int> g_pipe_write_fds[ProcessRunner::kMaxInstances] = {
    kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot,
    kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot};
// Handlers between reading a slot and writing to it. A runner waits for this to drop to zero
// after clearing its slot and before closing the descriptor, so that a handler never writes
// into a descriptor number that was closed and reused meanwhile.
std::atomic<int> g_handlers_in_flight{0};
std::atomic<bool> g_handler_installed{false};
static_assert(std::atomic<int>::is_always_lock_free);

void on_child_signal(int /*signal*/) {
    const int saved_errno = errno;
    g_handlers_in_flight.fetch_add(1);
    for (const auto& slot : g_pipe_write_fds) {
        const int fd = slot.load();
        if (fd >= 0) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
        }
    }
    g_handlers_in_flight.fetch_sub(1);
    errno = saved_errno;
}

Status install_child_signal_handler() {
    if (g_handler_installed.load()) {
        return {};
    }
    struct sigaction action {};
    action.sa_handler = on_child_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    if (sigaction(SIGCHLD, &action, nullptr) != 0) {
        return Error::from_errno(errno);
    }
    g_handler_installed.store(true);
    return {};
}

int claim_slot(int write_fd) {
    for (int slot = 0; slot < ProcessRunner::kMaxInstances; ++slot) {
        int expected = kFreeSlot;
        if (g_pipe_write_fds[slot].compare_exchange_strong(expected, write_fd)) {
            return slot;
        }
    }
    return -1;
}

void free_slot(int slot) {
    g_pipe_write_fds[slot].store(kFreeSlot);
    while (g_handlers_in_flight.load() != 0) {
        sched_yield();
    }
}

int exit_code(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return -WTERMSIG(status);
    }
    return -1;
}

}  // namespace

Result<ProcessRunner> ProcessRunner::create(EventLoop& loop) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return Error::from_errno(errno);
    }
    if (Status installed = install_child_signal_handler(); !installed) {
        close(fds[0]);
        close(fds[1]);
        return installed.error();
    }
    const int slot = claim_slot(fds[1]);
    if (slot < 0) {
        close(fds[0]);
        close(fds[1]);
        return Error::fixed("Too many ProcessRunner instances");
    }
    ProcessRunner runner(fds[0], fds[1], slot);
    if (Status added = loop.add(runner); !added) {
        return added.error();
    }
    return runner;
}

ProcessRunner::ProcessRunner(int read_fd, int write_fd, int slot)
    : read_fd_(read_fd), write_fd_(write_fd), slot_(slot) {}

ProcessRunner::ProcessRunner(ProcessRunner&& other) noexcept
    : FdHandler(std::move(other)),
      read_fd_(std::exchange(other.read_fd_, -1)),
      write_fd_(std::exchange(other.write_fd_, -1)),
      slot_(std::exchange(other.slot_, -1)),
      children_(std::move(other.children_)) {
    other.children_.clear();
}

ProcessRunner& ProcessRunner::operator=(ProcessRunner&& other) noexcept {
    if (this != &other) {
        release();
        FdHandler::operator=(std::move(other));
        read_fd_ = std::exchange(other.read_fd_, -1);
        write_fd_ = std::exchange(other.write_fd_, -1);
        slot_ = std::exchange(other.slot_, -1);
        children_ = std::move(other.children_);
        other.children_.clear();
    }
    return *this;
}

ProcessRunner::~ProcessRunner() {
    release();
}

void ProcessRunner::release() noexcept {
    unregister();
    if (slot_ >= 0) {
        free_slot(slot_);
        slot_ = -1;
    }
    if (read_fd_ >= 0) {
        close(read_fd_);
        read_fd_ = -1;
    }
    if (write_fd_ >= 0) {
        close(write_fd_);
        write_fd_ = -1;
    }
    children_.clear();
}

Status ProcessRunner::run(const std::string& command, Callback callback) {
    if (!registered()) {
        return Error::fixed("Not registered with event loop");
    }
    const char* shell_command = command.c_str();
    const pid_t pid = fork();
    if (pid < 0) {
        return Error::from_errno(errno);
    }
    if (pid == 0) {
        // The parent may have other threads: only async-signal-safe calls until exec.
        signal(SIGCHLD, SIG_DFL);
        setpgid(0, 0);
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, STDIN_FILENO);
            dup2(null_fd, STDOUT_FILENO);
            dup2(null_fd, STDERR_FILENO);
            if (null_fd > STDERR_FILENO) {
                close(null_fd);
            }
        }
        execl("/bin/sh", "sh", "-c", shell_command, static_cast<char*>(nullptr));
        _exit(127);
    }
    // Also here, so the group exists before anyone signals it; whichever side runs first wins.
    setpgid(pid, pid);
    children_.emplace(pid, std::move(callback));
    return {};
}

void ProcessRunner::signal_children(int signal_number) {
    for (const auto& [pid, callback] : children_) {
        if (kill(-pid, signal_number) != 0) {
            kill(pid, signal_number);
        }
    }
}

void ProcessRunner::stop_children(std::chrono::milliseconds grace) {
    if (children_.empty()) {
        return;
    }
    signal_children(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (true) {
        for (auto it = children_.begin(); it != children_.end();) {
            int status = 0;
            const pid_t reaped = waitpid(it->first, &status, WNOHANG);
            it = reaped == it->first || (reaped < 0 && errno == ECHILD) ? children_.erase(it)
                                                                        : std::next(it);
        }
        if (children_.empty() || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        const timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    signal_children(SIGKILL);
    for (const auto& [pid, callback] : children_) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    children_.clear();
}

void ProcessRunner::on_readable() {
    char buffer[256];
    while (read(read_fd_, buffer, sizeof buffer) > 0) {
    }
    // Only our own pids: waitpid(-1) would steal the children of other runners.
    for (auto it = children_.begin(); it != children_.end();) {
        const pid_t pid = it->first;
        int status = 0;
        const pid_t reaped = waitpid(pid, &status, WNOHANG);
        if (reaped == 0 || (reaped < 0 && errno != ECHILD)) {
            ++it;
            continue;
        }
        // ECHILD: someone else reaped it; keeping the entry would leave the runner busy forever.
        const int code = reaped < 0 ? -1 : exit_code(status);
        Callback callback = std::move(it->second);
        children_.erase(it);
        if (callback) {
            callback(code);
        }
        // The callback may have started commands; continue after the pid just handled.
        it = children_.upper_bound(pid);
    }
}

}  // namespace voxapp
