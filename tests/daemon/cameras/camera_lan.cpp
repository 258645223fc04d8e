#include "daemon/cameras/camera_lan.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

namespace voxapp::test {

namespace {

Status run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        return Error::owned("command failed: " + command);
    }
    return {};
}

// Makes the camera namespace with its end of the link, and returns a descriptor that keeps the
// namespace alive; runs on a thread of its own, which leaves the namespace behind when it ends.
Status make_camera_namespace(pid_t router_process, int& namespace_fd) {
    if (unshare(CLONE_NEWNET) != 0) {
        return Error::owned("unshare: cannot make the camera namespace", errno);
    }
    const int fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Error::owned("cannot open the camera namespace", errno);
    }
    const std::string link =
        "ip link add cam0 type veth peer name br-lan netns " + std::to_string(router_process);
    for (const std::string& command :
         {link, std::string("ip addr add 192.168.77.20/24 dev cam0"),
          std::string("ip link set cam0 up"), std::string("ip link set lo up")}) {
        if (Status done = run(command); !done) {
            close(fd);
            return done;
        }
    }
    namespace_fd = fd;
    return {};
}

}  // namespace

Result<std::unique_ptr<CameraLan>> CameraLan::create() {
    int namespace_fd = -1;
    std::optional<Status> made;
    const pid_t router_process = getpid();
    std::thread([&] { made = make_camera_namespace(router_process, namespace_fd); }).join();
    if (!*made) {
        return made->error();
    }
    std::unique_ptr<CameraLan> lan(new CameraLan(namespace_fd));
    for (const char* command :
         {"ip addr add 192.168.77.1/24 dev br-lan", "ip link set br-lan up"}) {
        if (Status done = run(command); !done) {
            return done.error();
        }
    }
    // The kernel reports the link running only after its link watch has run (up to a second);
    // the daemon's first probe looks for a running bridge.
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "br-lan", IFNAMSIZ - 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool running = false;
    while (!running && std::chrono::steady_clock::now() < deadline) {
        running =
            ioctl(probe, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING) != 0;
        if (!running) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    close(probe);
    if (!running) {
        return Error::fixed("br-lan did not come up");
    }
    return lan;
}

CameraLan::~CameraLan() {
    close(namespace_fd_);
}

Status CameraLan::in_camera_namespace(const std::function<Status()>& work) {
    Status result = Error::fixed("not started");
    std::thread([&] {
        if (setns(namespace_fd_, CLONE_NEWNET) != 0) {
            result = Error::owned("setns into the camera namespace failed", errno);
            return;
        }
        result = work();
    }).join();
    return result;
}

Result<std::unique_ptr<sim::SimCamera>> CameraLan::start_camera(sim::SimCamera::Options options) {
    options.port = 80;
    options.discovery = true;
    std::unique_ptr<sim::SimCamera> camera;
    Status started = in_camera_namespace([&]() -> Status {
        if (options.address != "192.168.77.20") {
            // Already present when a test starts the same address again.
            (void)run("ip addr add " + options.address + "/24 dev cam0 2>/dev/null");
        }
        auto made = sim::SimCamera::start(options);
        if (!made) {
            return made.error();
        }
        camera = std::move(*made);
        return {};
    });
    if (!started) {
        return started.error();
    }
    return camera;
}

}  // namespace voxapp::test
