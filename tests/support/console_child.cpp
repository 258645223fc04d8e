#include "support/console_child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <stdexcept>

namespace voxapp::test {

using namespace std::chrono_literals;

ConsoleChild::ConsoleChild(const std::vector<std::string>& words) {
    std::vector<std::string> copy = words;
    std::vector<char*> argv;
    for (auto& word : copy) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    // A socket for the input, so that writing after the child ended gives EPIPE (MSG_NOSIGNAL)
    // instead of killing the test. Both ends close on exec: later children must not keep it.
    int input[2];
    int output[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0 ||
        pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make the child's pipes");
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(input[1], 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(input[1]);
    close(output[1]);
    input_ = input[0];
    output_ = output[0];
    reader_ = std::thread([this] { read_output(); });
}

ConsoleChild::~ConsoleChild() {
    close_input();
    if (!wait_for_exit(10s)) {
        kill(pid_, SIGKILL);
        wait_for_exit(10s);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    close(output_);
}

void ConsoleChild::send_line(const std::string& line) {
    const std::string whole = line + "\n";
    std::lock_guard lock(input_mutex_);
    std::size_t done = 0;
    while (input_ >= 0 && done < whole.size()) {
        const ssize_t count = send(input_, whole.data() + done, whole.size() - done, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        done += static_cast<std::size_t>(count);
    }
}

void ConsoleChild::close_input() {
    std::lock_guard lock(input_mutex_);
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

std::optional<int> ConsoleChild::wait_for_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_status_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    return exit_status_;
}

void ConsoleChild::read_output() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(output_, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(count));
        std::size_t end;
        std::lock_guard lock(mutex_);
        while ((end = pending.find('\n')) != std::string::npos) {
            lines_.push_back(pending.substr(0, end));
            taken_.push_back(false);
            pending.erase(0, end + 1);
        }
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    if (!pending.empty()) {
        lines_.push_back(pending);
        taken_.push_back(false);
    }
    output_ended_ = true;
    changed_.notify_all();
}

std::optional<std::string> ConsoleChild::take(
    const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    std::size_t checked = 0;
    for (;;) {
        for (; checked < lines_.size(); ++checked) {
            if (!taken_[checked] && matches(lines_[checked])) {
                taken_[checked] = true;
                return lines_[checked];
            }
        }
        if (output_ended_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; checked < lines_.size(); ++checked) {
                if (!taken_[checked] && matches(lines_[checked])) {
                    taken_[checked] = true;
                    return lines_[checked];
                }
            }
            return std::nullopt;
        }
    }
}

std::optional<std::string> ConsoleChild::take_prefix(const std::string& prefix,
                                                     std::chrono::milliseconds timeout) {
    return take([&prefix](const std::string& line) { return line.starts_with(prefix); }, timeout);
}

std::string ConsoleChild::transcript() const {
    std::lock_guard lock(mutex_);
    std::ostringstream text;
    for (const auto& line : lines_) {
        text << line << "\n";
    }
    return text.str();
}

}  // namespace voxapp::test
