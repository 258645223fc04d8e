#include "app/heartbeat.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/time_point.hpp"

namespace voxapp {

Status write_heartbeat_file(const std::string& path, std::int64_t epoch_seconds) {
    const std::string text = format_time_point(epoch_seconds * 1'000'000'000, "%Y%m%d%H%M%S");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    const ssize_t written = write(fd, text.data(), text.size());
    const int write_errno = errno;
    const bool closed = close(fd) == 0;
    if (written != static_cast<ssize_t>(text.size())) {
        return Error::from_errno(written < 0 ? write_errno : EIO);
    }
    if (!closed) {
        return Error::from_errno(errno);
    }
    return {};
}

}  // namespace voxapp
