#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <memory>

#include "core/result.hpp"
#include "system/events/event_dispatcher.hpp"
#include "system/io/fd_handler.hpp"

namespace voxapp {

// Listens to the kernel's uevent broadcasts ("App::System::Hardware::NetlinkWatcher") and
// publishes SerialDeviceConnected / SerialDeviceDisconnected for serial ports and
// PartitionAdded / PartitionRemoved for disk partitions, synchronously on the thread that calls
// on_readable (the event loop's). The caller adds it to its event loop; destroying it removes
// it and closes the socket.
class NetlinkWatcher final : public FdHandler {
public:
    // Error: errno of socket or bind.
    static Result<std::unique_ptr<NetlinkWatcher>> create(
        std::shared_ptr<EventDispatcher> dispatcher);

    ~NetlinkWatcher() override;
    NetlinkWatcher(const NetlinkWatcher&) = delete;
    NetlinkWatcher& operator=(const NetlinkWatcher&) = delete;

    int fd() const override { return fd_; }
    std::uint32_t events() const override { return EPOLLIN; }
    // Reads and publishes every message the socket holds.
    void on_readable() override;
    void on_writable() override {}
    void on_error() override {}

    // Publishes what one received message announces; the data need not end in a NUL.
    void handle_message(const char* data, std::size_t length);

private:
    NetlinkWatcher(int fd, std::shared_ptr<EventDispatcher> dispatcher)
        : fd_(fd), dispatcher_(std::move(dispatcher)) {}

    int fd_;
    std::shared_ptr<EventDispatcher> dispatcher_;
    char buffer_[4096];
};

}  // namespace voxapp
