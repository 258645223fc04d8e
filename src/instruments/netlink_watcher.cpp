#include "instruments/netlink_watcher.hpp"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "instruments/uevent.hpp"
#include "system/events/system_events.hpp"

namespace voxapp {

Result<std::unique_ptr<NetlinkWatcher>> NetlinkWatcher::create(
    std::shared_ptr<EventDispatcher> dispatcher) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;
    address.nl_groups = 1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        close(fd);
        return Error::from_errno(saved);
    }
    return std::unique_ptr<NetlinkWatcher>(new NetlinkWatcher(fd, std::move(dispatcher)));
}

NetlinkWatcher::~NetlinkWatcher() {
    unregister();
    close(fd_);
}

void NetlinkWatcher::on_readable() {
    for (;;) {
        const ssize_t received = recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
        if (received < 1) {
            return;
        }
        handle_message(buffer_, static_cast<std::size_t>(received));
    }
}

void NetlinkWatcher::handle_message(const char* data, std::size_t length) {
    const Uevent event = parse_uevent(data, length);
    if (event.action != UeventAction::add && event.action != UeventAction::remove) {
        return;
    }
    const bool added = event.action == UeventAction::add;
    if (event.subsystem == "block" && event.devtype == "partition") {
        if (added) {
            dispatcher_->publish(PartitionAdded{std::string(event.devname)});
        } else {
            dispatcher_->publish(PartitionRemoved{std::string(event.devname)});
        }
        return;
    }
    if (event.subsystem != "tty" || !is_serial_port_uevent(event)) {
        return;
    }
    if (added) {
        dispatcher_->publish(
            SerialDeviceConnected{std::string(event.devname), std::string(event.devpath)});
    } else {
        dispatcher_->publish(
            SerialDeviceDisconnected{std::string(event.devname), std::string(event.devpath)});
    }
}

}  // namespace voxapp
