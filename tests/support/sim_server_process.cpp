#include "support/sim_server_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "support/daemon_process.hpp"

namespace voxapp::test {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kStampLength = 12;  // "HH:MM:SS.mmm"

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string unescape(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes.push_back('\\');
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   hex_digit(text[i + 2]) >= 0 && hex_digit(text[i + 3]) >= 0) {
            bytes.push_back(
                static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3])));
            i += 3;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

// Splits off the first blank-separated word of `rest`.
std::string next_word(std::string_view& rest) {
    const std::size_t blank = rest.find(' ');
    std::string word(rest.substr(0, blank));
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    return word;
}

template <typename Number>
std::optional<Number> number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string sim_server_binary() {
    if (const char* path = std::getenv("VOXAPP_SIM_SERVER")) {
        return path;
    }
#ifdef VOXAPP_SIM_SERVER_PATH
    return VOXAPP_SIM_SERVER_PATH;
#else
    const std::string daemon = VOXAPP_BINARY_PATH;
    return daemon.substr(0, daemon.rfind('/') + 1) + "tools/voxapp-sim-server";
#endif
}

SimLine parse_sim_line(const std::string& line) {
    SimLine parsed;
    parsed.line = line;
    if (line.size() <= kStampLength || line[kStampLength] != ' ') {
        parsed.text = line;
        return parsed;
    }
    std::string_view rest = std::string_view(line).substr(kStampLength + 1);
    if (rest.substr(0, 4) == "sim ") {
        rest.remove_prefix(4);
        parsed.event = next_word(rest);
        parsed.text = std::string(rest);
        return parsed;
    }
    const std::size_t close = rest.find("] ");
    if (rest.empty() || rest.front() != '[' || close == std::string_view::npos) {
        parsed.text = line;
        return parsed;
    }
    parsed.connection = number<int>(rest.substr(1, close - 1)).value_or(-1);
    rest.remove_prefix(close + 2);
    parsed.event = next_word(rest);
    if (parsed.event != "->" && parsed.event != "<-") {
        parsed.text = std::string(rest);
        return parsed;
    }
    parsed.kind = next_word(rest);
    for (;;) {
        std::string_view probe = rest;
        const std::string word = next_word(probe);
        if (word.rfind("id=", 0) == 0) {
            parsed.id = number<std::uint16_t>(std::string_view(word).substr(3));
        } else if (word.rfind("len=", 0) == 0) {
            parsed.length = number<std::uint32_t>(std::string_view(word).substr(4));
        } else if (word == "partial") {
            parsed.partial = true;
        } else if (word.rfind("pieces=", 0) != 0) {
            break;
        }
        rest = probe;
    }
    parsed.text = unescape(rest);
    return parsed;
}

SimServerProcess::SimServerProcess(const std::vector<std::string>& ca_outputs,
                                   const std::vector<std::string>& extra_arguments) {
    std::vector<std::string> words = {sim_server_binary(), "serve", "--port", "0"};
    for (const auto& path : ca_outputs) {
        words.push_back("--ca-out");
        words.push_back(path);
    }
    words.insert(words.end(), extra_arguments.begin(), extra_arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    // A socket for the console input, so that writing after the simulator ended gives EPIPE
    // (MSG_NOSIGNAL) instead of killing the test. Both ends close on exec: the daemon, forked
    // later, must not keep the simulator's input open.
    int input[2];
    int output[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0 ||
        pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make the simulator's pipes");
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

    const auto listening = take([](const SimLine& line) { return line.event == "listening"; }, 15s);
    if (!listening) {
        const std::string seen = transcript();
        close_input();
        if (!wait_for_exit(5s)) {
            kill(pid_, SIGKILL);
            wait_for_exit(5s);
        }
        reader_.join();
        close(output_);
        throw std::runtime_error("the simulator " + words[0] + " did not start:\n" + seen);
    }
    const auto port = number<std::uint16_t>(
        std::string_view(listening->text).substr(listening->text.rfind(':') + 1));
    port_ = port.value_or(0);
}

SimServerProcess::~SimServerProcess() {
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

void SimServerProcess::send_line(const std::string& line) {
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

void SimServerProcess::close_input() {
    std::lock_guard lock(input_mutex_);
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

std::optional<int> SimServerProcess::wait_for_exit(std::chrono::milliseconds timeout) {
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

void SimServerProcess::read_output() {
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
            lines_.push_back(parse_sim_line(pending.substr(0, end)));
            taken_.push_back(false);
            pending.erase(0, end + 1);
        }
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    if (!pending.empty()) {
        lines_.push_back(parse_sim_line(pending));
        taken_.push_back(false);
    }
    output_ended_ = true;
    changed_.notify_all();
}

std::optional<SimLine> SimServerProcess::take(const std::function<bool(const SimLine&)>& matches,
                                              std::chrono::milliseconds timeout) {
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
            // One last look: lines may have come with the wake-up that timed out.
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

std::optional<int> SimServerProcess::wait_for_established(std::chrono::milliseconds timeout) {
    const auto line =
        take([](const SimLine& line) { return line.event == "established"; }, timeout);
    if (!line) {
        return std::nullopt;
    }
    return line->connection;
}

std::optional<SimLine> SimServerProcess::wait_for_frame(int connection,
                                                        std::chrono::milliseconds timeout) {
    return take(
        [connection](const SimLine& line) {
            return line.connection == connection && line.event == "<-";
        },
        timeout);
}

std::optional<SimLine> SimServerProcess::wait_for_closed(int connection,
                                                         std::chrono::milliseconds timeout) {
    return take(
        [connection](const SimLine& line) {
            return line.connection == connection && line.event == "closed";
        },
        timeout);
}

std::optional<SimLine> SimServerProcess::ask(int connection, const std::string& frame_line,
                                             std::chrono::milliseconds timeout) {
    send_line("@" + std::to_string(connection) + " " + frame_line);
    return wait_for_frame(connection, timeout);
}

std::string SimServerProcess::transcript() const {
    std::lock_guard lock(mutex_);
    std::ostringstream text;
    for (const auto& line : lines_) {
        text << line.line << "\n";
    }
    return text.str();
}

}  // namespace voxapp::test
