#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace voxapp::test {

// The built daemon binary (set by the build; VOXAPP_BINARY overrides it).
std::string voxapp_binary();

// The words that run the daemon binary `path`: the launcher that VOXAPP_LAUNCHER names (words
// split at spaces, such as "qemu-mipsel -L SYSROOT" for a daemon of another CPU), then `path`.
std::vector<std::string> daemon_command(const std::string& path);

// A directory laid out like the router for one daemon run: VOXAPP_ROOT points at it, the binary
// is copied to <root>/root/app/voxapp (so settings.ini belongs in <root>/root/app) and
// <root>/var/log exists for the default log file. /etc/config holds a "system" package naming the
// router "QM208_4321" in Europe/Berlin and an "ntpclient" package; timezones.ini lists two zones.
class DaemonRoot {
public:
    DaemonRoot();
    ~DaemonRoot();
    DaemonRoot(const DaemonRoot&) = delete;
    DaemonRoot& operator=(const DaemonRoot&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
    std::string app_dir() const { return path_ + "/root/app"; }
    std::string executable() const { return app_dir() + "/voxapp"; }
    void write_settings(const std::string& content) const;

private:
    std::string path_;
};

// A child process with its standard output and error captured to files.
class ChildProcess {
public:
    // An empty `working_directory` keeps the caller's. A daemon binary (voxapp_binary() or a
    // file named voxapp) starts through the launcher of daemon_command; a name without a slash
    // is looked up in PATH.
    ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment,
                 const std::string& working_directory = "");
    ~ChildProcess();  // kills the child if it is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void send_signal(int signal_number) const;
    // The exit code (minus the signal number when a signal ended it), or nullopt on timeout.
    std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);
    // Waits until the standard output holds `text`; false on timeout or when the child ended
    // without printing it.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout,
                         std::size_t times = 1);
    // How often `text` stands in the output so far.
    std::size_t count_in_output(const std::string& text) const;
    // Waits until the child has a handler installed for `signal_number` (its "SigCgt" mask).
    bool wait_for_signal_handler(int signal_number, std::chrono::milliseconds timeout);
    std::string output() const;
    std::string errors() const;

private:
    std::string capture_dir_;
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
};

// Runs the daemon under `root` with VOXAPP_ROOT set.
ChildProcess start_daemon(const DaemonRoot& root, const std::vector<std::string>& arguments = {});

}  // namespace voxapp::test
