#include "support/daemon_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "support/temp_dir.hpp"

namespace voxapp::test {

namespace fs = std::filesystem;

std::string voxapp_binary() {
    if (const char* path = std::getenv("VOXAPP_BINARY")) {
        return path;
    }
    return VOXAPP_BINARY_PATH;
}

std::vector<std::string> daemon_command(const std::string& path) {
    std::vector<std::string> words;
    if (const char* launcher = std::getenv("VOXAPP_LAUNCHER")) {
        std::string_view rest = launcher;
        while (!rest.empty()) {
            const std::size_t blank = rest.find(' ');
            if (blank != 0) {
                words.emplace_back(rest.substr(0, blank));
            }
            rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
        }
    }
    words.push_back(path);
    return words;
}

DaemonRoot::DaemonRoot() {
    char pattern[] = "/tmp/voxapp-root-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    fs::create_directories(app_dir());
    fs::create_directories(path_ + "/var/log");
    fs::create_directories(path_ + "/etc/config");
    // No random device node here: the daemon's ids come from getrandom(2).
    fs::create_directories(path_ + "/dev");
    write_file(
        path_ + "/etc/config/system",
        "config system\n\toption hostname 'OpenWrt'\n\toption devicename 'QM208_4321'\n"
        "\toption zoneName 'Europe/Berlin'\n\toption timezone 'CET-1CEST,M3.5.0,M10.5.0/3'\n");
    write_file(path_ + "/etc/config/ntpclient",
               "config ntpclient 'ntpclient'\n\toption zoneName 'Europe/Berlin'\n");
    write_file(
        app_dir() + "/timezones.ini",
        "Europe/Berlin=CET-1CEST,M3.5.0,M10.5.0/3\nEurope/Riga=EET-2EEST,M3.5.0/3,M10.5.0/4\n");
    fs::copy_file(voxapp_binary(), executable());
    fs::permissions(executable(), fs::perms::owner_all);
}

DaemonRoot::~DaemonRoot() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void DaemonRoot::write_settings(const std::string& content) const {
    write_file(app_dir() + "/settings.ini", content);
}

ChildProcess::ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment,
                           const std::string& working_directory) {
    char pattern[] = "/tmp/voxapp-capture-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    capture_dir_ = pattern;
    const std::string out_path = capture_dir_ + "/stdout";
    const std::string err_path = capture_dir_ + "/stderr";

    std::vector<std::string> words = {executable};
    if (fs::path(executable).filename() == "voxapp" || executable == voxapp_binary()) {
        words = daemon_command(executable);
    }
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const auto& [name, value] : environment) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        if (!working_directory.empty() && chdir(working_directory.c_str()) != 0) {
            _exit(125);
        }
        execvp(argv[0], argv.data());
        _exit(126);
    }
}

ChildProcess::~ChildProcess() {
    if (!exit_code_) {
        kill(pid_, SIGKILL);
        wait_for_exit(std::chrono::seconds(10));
    }
    std::error_code ignored;
    fs::remove_all(capture_dir_, ignored);
}

void ChildProcess::send_signal(int signal_number) const {
    kill(pid_, signal_number);
}

std::optional<int> ChildProcess::wait_for_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_code_) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exit_code_;
}

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout,
                                   std::size_t times) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (count_in_output(text) < times) {
        if (std::chrono::steady_clock::now() >= deadline ||
            wait_for_exit(std::chrono::milliseconds(0))) {
            return count_in_output(text) >= times;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::size_t ChildProcess::count_in_output(const std::string& text) const {
    const std::string all = output();
    std::size_t count = 0;
    for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++count;
    }
    return count;
}

bool ChildProcess::wait_for_signal_handler(int signal_number, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string status_path = "/proc/" + std::to_string(pid_) + "/status";
    for (;;) {
        const std::string status = read_file(status_path);
        const std::size_t at = status.find("SigCgt:");
        if (at != std::string::npos) {
            const unsigned long long caught = std::stoull(status.substr(at + 7), nullptr, 16);
            if (caught & (1ULL << (signal_number - 1))) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline ||
            wait_for_exit(std::chrono::milliseconds(0))) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ChildProcess::output() const {
    return read_file(capture_dir_ + "/stdout");
}
std::string ChildProcess::errors() const {
    return read_file(capture_dir_ + "/stderr");
}

ChildProcess start_daemon(const DaemonRoot& root, const std::vector<std::string>& arguments) {
    return ChildProcess(root.executable(), arguments, {{"VOXAPP_ROOT", root.path()}});
}

}  // namespace voxapp::test
