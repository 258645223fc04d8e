#include "support/network_namespace.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace voxapp::test {

namespace {

Status write_proc(const std::string& path, const std::string& content) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return Error::owned("open " + path + ": " + std::strerror(errno), errno);
    }
    const bool written =
        write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    const int saved = errno;
    close(fd);
    if (!written) {
        return Error::owned("write " + path + ": " + std::strerror(saved), saved);
    }
    return {};
}

// A user namespace in which this process keeps its own ids, owning a new network namespace.
Status enter_user_and_network_namespace() {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        return Error::owned(
            std::string("unshare(CLONE_NEWUSER | CLONE_NEWNET): ") + std::strerror(errno), errno);
    }
    if (Status denied = write_proc("/proc/self/setgroups", "deny"); !denied) {
        return denied;
    }
    const std::string uid_text = std::to_string(uid);
    const std::string gid_text = std::to_string(gid);
    if (Status mapped = write_proc("/proc/self/uid_map", uid_text + " " + uid_text + " 1\n");
        !mapped) {
        return mapped;
    }
    return write_proc("/proc/self/gid_map", gid_text + " " + gid_text + " 1\n");
}

Status bring_loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Error::owned(std::string("socket: ") + std::strerror(errno), errno);
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    int result = ioctl(fd, SIOCGIFFLAGS, &request);
    if (result == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        result = ioctl(fd, SIOCSIFFLAGS, &request);
    }
    const int saved = errno;
    close(fd);
    if (result != 0) {
        return Error::owned(std::string("bringing lo up: ") + std::strerror(saved), saved);
    }
    return {};
}

}  // namespace

Status enter_private_network() {
    if (unshare(CLONE_NEWNET) != 0) {
        const int privileged_errno = errno;
        if (Status entered = enter_user_and_network_namespace(); !entered) {
            return Error::owned(std::string("unshare(CLONE_NEWNET): ") +
                                    std::strerror(privileged_errno) + "; " +
                                    entered.error().message_text(),
                                privileged_errno);
        }
    }
    return bring_loopback_up();
}

}  // namespace voxapp::test
