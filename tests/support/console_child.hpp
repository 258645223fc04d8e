#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace voxapp::test {

// A helper program run as a child with its console on pipes: lines are written to its standard
// input; its standard output and error are read line by line on a thread of its own, and a test
// takes the lines it waits for, each at most once, with a bound. Members may be called from any
// thread. The child is killed when the test process dies.
class ConsoleChild {
public:
    // Throws std::runtime_error when the child cannot be started.
    explicit ConsoleChild(const std::vector<std::string>& argv);
    // Ends the input and waits for the child; kills it when it does not finish.
    ~ConsoleChild();
    ConsoleChild(const ConsoleChild&) = delete;
    ConsoleChild& operator=(const ConsoleChild&) = delete;

    pid_t pid() const { return pid_; }
    void send_line(const std::string& line);
    void close_input();
    std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);

    // The first line not taken yet that `matches`, which is then taken.
    std::optional<std::string> take(const std::function<bool(const std::string&)>& matches,
                                    std::chrono::milliseconds timeout);
    // The first line not taken yet that starts with `prefix`.
    std::optional<std::string> take_prefix(const std::string& prefix,
                                           std::chrono::milliseconds timeout);
    std::string transcript() const;

private:
    void read_output();

    pid_t pid_ = -1;
    std::mutex input_mutex_;
    int input_ = -1;
    int output_ = -1;
    std::optional<int> exit_status_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<bool> taken_;
    bool output_ended_ = false;
    std::thread reader_;
};

}  // namespace voxapp::test
