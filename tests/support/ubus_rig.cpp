#include "support/ubus_rig.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <filesystem>
#include <thread>

namespace voxapp::test {

namespace {

#if defined(VOXAPP_UBUSD_PATH) && defined(VOXAPP_GPS_SIM_PATH)
constexpr const char* kUbusd = VOXAPP_UBUSD_PATH;
constexpr const char* kGpsSim = VOXAPP_GPS_SIM_PATH;
#else
constexpr const char* kUbusd = "";
constexpr const char* kGpsSim = "";
#endif
#if defined(VOXAPP_UBUS_CLI_PATH)
constexpr const char* kUbusCli = VOXAPP_UBUS_CLI_PATH;
#else
constexpr const char* kUbusCli = "";
#endif

constexpr auto kStartTimeout = std::chrono::seconds(10);

// ubusd binds its socket before it listens: only a connection proves that it serves.
bool accepts_connections(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

bool wait_for_socket(const std::string& path, ChildProcess& owner) {
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!accepts_connections(path)) {
        if (std::chrono::steady_clock::now() >= deadline ||
            owner.wait_for_exit(std::chrono::milliseconds(0))) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

bool ubus_rig_available() {
    return *kUbusd != '\0' && *kGpsSim != '\0' && *kUbusCli != '\0' &&
           getenv("VOXAPP_UNDER_EMULATION") == nullptr;
}

UbusRig::UbusRig(const std::string& root) : socket_(root + "/var/run/ubus/ubus.sock") {
    if (!ubus_rig_available()) {
        return;
    }
    std::filesystem::create_directories(root + "/var/run/ubus");
    std::filesystem::create_directories(root + "/tmp");
    ubusd_.emplace(kUbusd, std::vector<std::string>{"-s", socket_},
                   std::map<std::string, std::string>{});
    if (!wait_for_socket(socket_, *ubusd_)) {
        return;
    }
    gps_.emplace(
        kGpsSim,
        std::vector<std::string>{"--socket", socket_, "--fix", root + "/tmp/voxapp-gps-fix"},
        std::map<std::string, std::string>{});
    ready_ = gps_->wait_for_output("ready\n", kStartTimeout);
}

UbusRig::~UbusRig() {
    gps_.reset();
    ubusd_.reset();
}

void UbusRig::stop_bus() {
    if (ubusd_) {
        ubusd_->send_signal(SIGTERM);
        ubusd_->wait_for_exit(kStartTimeout);
    }
}

bool UbusRig::restart_bus() {
    stop_bus();
    ubusd_.emplace(kUbusd, std::vector<std::string>{"-s", socket_},
                   std::map<std::string, std::string>{});
    return wait_for_socket(socket_, *ubusd_);
}

void UbusRig::pause_bus() {
    if (ubusd_) {
        ubusd_->send_signal(SIGSTOP);
    }
}

void UbusRig::resume_bus() {
    if (ubusd_) {
        ubusd_->send_signal(SIGCONT);
    }
}

std::optional<std::string> UbusRig::call(const std::string& object, const std::string& method,
                                         int timeout_seconds) const {
    if (*kUbusCli == '\0') {
        return std::nullopt;
    }
    ChildProcess cli(kUbusCli,
                     {"-s", socket_, "-t", std::to_string(timeout_seconds), "call", object, method},
                     {});
    const auto code = cli.wait_for_exit(std::chrono::seconds(timeout_seconds + 2));
    if (!code || *code != 0) {
        return std::nullopt;
    }
    return cli.output();
}

std::unique_ptr<ChildProcess> UbusRig::listen() const {
    return std::make_unique<ChildProcess>(kUbusCli,
                                          std::vector<std::string>{"-s", socket_, "listen"},
                                          std::map<std::string, std::string>{});
}

std::string UbusRig::diagnostics() const {
    std::string text;
    if (ubusd_) {
        text += "--- ubusd ---\n" + ubusd_->output() + ubusd_->errors();
    }
    if (gps_) {
        text += "--- voxapp-gps-sim ---\n" + gps_->output() + gps_->errors();
    }
    return text;
}

}  // namespace voxapp::test
