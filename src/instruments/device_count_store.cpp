#include "instruments/device_count_store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "system/events/system_events.hpp"

namespace voxapp {

Result<std::uint32_t> DeviceCountStore::get() {
    std::lock_guard lock(mutex_);
    return read_locked();
}

Status DeviceCountStore::set(std::uint32_t count) {
    std::lock_guard lock(mutex_);
    return write_locked(count);
}

Status DeviceCountStore::increment() {
    std::lock_guard lock(mutex_);
    auto current = read_locked();
    if (!current) {
        return current.error();
    }
    return write_locked(*current + 1);
}

Result<std::uint32_t> DeviceCountStore::read_locked() const {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    char text[32] = {};
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    std::uint32_t count = 0;
    // Leading blanks skipped, digits read, anything after them ignored, as a scanf of %u would.
    ssize_t i = 0;
    while (i < length && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) {
        ++i;
    }
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        count = count * 10 + static_cast<std::uint32_t>(text[i] - '0');
    }
    return count;
}

Status DeviceCountStore::write_locked(std::uint32_t count) {
    auto current = read_locked();
    if (!current) {
        return current.error();
    }
    if (*current == count) {
        return {};
    }
    const int fd = open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    const std::string text = std::to_string(count);
    const ssize_t written = write(fd, text.data(), text.size());
    const int write_errno = errno;
    close(fd);
    if (written != static_cast<ssize_t>(text.size())) {
        return Error::from_errno(written < 0 ? write_errno : EIO);
    }
    if (dispatcher_) {
        dispatcher_->publish(DeviceCountChanged{static_cast<std::uint8_t>(count)});
    }
    return {};
}

}  // namespace voxapp
