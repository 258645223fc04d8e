#pragma once

#include <pthread.h>
#include <signal.h>

#include <cerrno>

namespace voxapp {

// SIGPIPE is directed at the thread that writes to a closed socket, so blocking it around a socket
// call (TLS, the system bus) and swallowing what it raised keeps the process alive without touching
// the process-wide disposition.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~SigpipeGuard() {
        const int saved_errno = errno;
        if (!was_pending_) {
            sigset_t pending;
            sigemptyset(&pending);
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec no_wait{};
                sigtimedwait(&pipe_, nullptr, &no_wait);
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = saved_errno;
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
    bool was_pending_ = false;
};

}  // namespace voxapp
