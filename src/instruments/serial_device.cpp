#include "instruments/serial_device.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "core/system_paths.hpp"
#include "system/logging/log_text.hpp"

namespace voxapp {

namespace {

constexpr int kEndOfFile = -1;
constexpr int kDrainWaitMs = 5000;

void sleep_1_ms() {
    timespec remaining{0, 1'000'000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void close_retrying(int fd) {
    while (close(fd) != 0 && errno == EINTR) {
    }
}

// Raw 8N1 at 115200, then reads that return at once (VMIN 0) or after half a second (VTIME 5);
// the descriptor is non-blocking anyway, so VTIME only matters to a blocking copy.
Status apply_line_settings(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return Error::from_errno(errno);
    }
    cfsetospeed(&settings, B115200);
    cfsetispeed(&settings, B115200);
    cfmakeraw(&settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        return Error::from_errno(errno);
    }
    termios timing{};
    if (tcgetattr(fd, &timing) != 0) {
        return Error::from_errno(errno);
    }
    timing.c_cc[VMIN] = 0;
    timing.c_cc[VTIME] = 5;
    if (tcsetattr(fd, TCSANOW, &timing) != 0) {
        return Error::from_errno(errno);
    }
    return {};
}

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

Status usbfs_reset(const std::string& usb_node) {
    // Non-blocking: a node that is not a usbfs device (a FIFO nobody reads) must not hang us.
    const int fd = open(system_path(usb_node).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    const int result = ioctl(fd, USBDEVFS_RESET, 0);
    const int saved = errno;
    close_retrying(fd);
    if (result < 0) {
        return Error::from_errno(saved);
    }
    return {};
}

SerialDevice::SerialDevice(int fd, std::string tty_path, std::string usb_node,
                           std::shared_ptr<Logger> logger, UsbResetFunction reset)
    : fd_(fd),
      tty_path_(std::move(tty_path)),
      usb_node_(std::move(usb_node)),
      logger_(std::move(logger)),
      reset_(std::move(reset)) {}

Result<SerialDevice> SerialDevice::open_port(const std::string& tty_path,
                                             const std::string& usb_node,
                                             std::shared_ptr<Logger> logger,
                                             UsbResetFunction reset) {
    const int fd =
        open(system_path(tty_path).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    const auto fail = [fd](int code) -> Result<SerialDevice> {
        close_retrying(fd);
        return Error::from_errno(code);
    };
    if (ioctl(fd, TIOCEXCL) != 0) {
        return fail(errno);
    }
    // TIOCEXCL does not stop a privileged opener; the advisory lock does.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(errno);
    }
    if (Status settings = apply_line_settings(fd); !settings) {
        return fail(settings.error().code());
    }
    sleep_1_ms();
    tcflush(fd, TCIOFLUSH);
    SerialDevice port(fd, tty_path, usb_node, std::move(logger), std::move(reset));
    port.open_copies_ = std::make_shared<char>();
    char stale[1024];
    (void)port.read_some(stale, sizeof stale);
    return port;
}

void SerialDevice::copy_from(const SerialDevice& other) {
    fd_ = other.fd_ >= 0 ? fcntl(other.fd_, F_DUPFD_CLOEXEC, 0) : -1;
    if (fd_ >= 0) {
        (void)apply_line_settings(fd_);
        open_copies_ = other.open_copies_;
    }
    tty_path_ = other.tty_path_;
    usb_node_ = other.usb_node_;
    logger_ = other.logger_;
    reset_ = other.reset_;
}

SerialDevice::SerialDevice(const SerialDevice& other) {
    copy_from(other);
}

SerialDevice& SerialDevice::operator=(const SerialDevice& other) {
    if (this != &other) {
        close_port();
        copy_from(other);
    }
    return *this;
}

SerialDevice::SerialDevice(SerialDevice&& other) noexcept
    : fd_(other.fd_),
      tty_path_(std::move(other.tty_path_)),
      usb_node_(std::move(other.usb_node_)),
      logger_(std::move(other.logger_)),
      reset_(std::move(other.reset_)),
      open_copies_(std::move(other.open_copies_)) {
    other.fd_ = -1;
}

SerialDevice& SerialDevice::operator=(SerialDevice&& other) noexcept {
    if (this != &other) {
        close_port();
        fd_ = other.fd_;
        other.fd_ = -1;
        tty_path_ = std::move(other.tty_path_);
        usb_node_ = std::move(other.usb_node_);
        logger_ = std::move(other.logger_);
        reset_ = std::move(other.reset_);
        open_copies_ = std::move(other.open_copies_);
    }
    return *this;
}

Result<std::size_t> SerialDevice::write_some(const char* data, std::size_t length) {
    if (fd_ < 0) {
        return Error::from_errno(EBADF);
    }
    if (length == 0) {
        return std::size_t{0};
    }
    ssize_t written;
    do {
        written = write(fd_, data, length);
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        return Error::from_errno(errno);
    }
    if (written == 0) {
        return Error::from_errno(kEndOfFile);
    }
    if (logger_) {
        std::string line = "[SerialDevice] Written ";
        append_log_parts(line, written, " bytes to the device.");
        logger_->debug(line);
    }
    return static_cast<std::size_t>(written);
}

bool SerialDevice::wait_writable(int limit_ms) const {
    pollfd ready{fd_, POLLOUT, 0};
    int polled;
    do {
        polled = poll(&ready, 1, limit_ms);
    } while (polled < 0 && errno == EINTR);
    // An error or hang-up counts as writable: the next write reports why.
    return polled > 0;
}

Result<std::size_t> SerialDevice::write_all(const char* data, std::size_t length) {
    std::size_t total = 0;
    while (total < length) {
        auto written = write_some(data + total, length - total);
        if (!written) {
            // Nothing taken at all is a failed write; the caller decides when to try again.
            if (written.error().code() != EAGAIN || total == 0) {
                return written.error();
            }
        } else {
            total += *written;
            if (total >= length) {
                break;
            }
        }
        if (logger_) {
            logger_->debug("Waiting for the descriptor to be ready.");
        }
        // Bounded, unlike a plain blocking write: a line that never drains (flow control held
        // by a hung instrument) must not keep the calling thread for ever.
        if (!wait_writable(kDrainWaitMs)) {
            return Error::from_errno(ETIMEDOUT);
        }
    }
    return total;
}

Result<std::size_t> SerialDevice::read_some(char* buffer, std::size_t capacity) {
    if (fd_ < 0) {
        return Error::from_errno(EBADF);
    }
    if (capacity == 0) {
        return std::size_t{0};
    }
    ssize_t count;
    do {
        count = read(fd_, buffer, capacity);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        return Error::from_errno(errno);
    }
    if (count == 0) {
        return Error::from_errno(kEndOfFile);
    }
    if (logger_) {
        std::string line = "(";
        append_log_parts(line, count, " bytes) ");
        line.append(buffer, static_cast<std::size_t>(count));
        logger_->data_full(line);
    }
    return static_cast<std::size_t>(count);
}

void SerialDevice::drain_input() {
    char discarded[1024];
    for (int reads = 0; reads < 6; ++reads) {
        auto read = read_some(discarded, sizeof discarded);
        if (read && *read < sizeof discarded) {
            return;
        }
        sleep_1_ms();
    }
}

Status SerialDevice::flush_queue(int queue) {
    if (queue < 0 || queue > 2) {
        return Error::from_errno(EINVAL);
    }
    sleep_1_ms();
    static constexpr int kSelectors[] = {TCIFLUSH, TCOFLUSH, TCIOFLUSH};
    if (tcflush(fd_, kSelectors[queue]) != 0) {
        return Error::from_errno(errno);
    }
    return {};
}

Status SerialDevice::drain_output(int limit_ms) {
    if (fd_ < 0) {
        return Error::from_errno(EBADF);
    }
    for (int waited = 0;; ++waited) {
        int queued = 0;
        if (ioctl(fd_, TIOCOUTQ, &queued) != 0) {
            return Error::from_errno(errno);
        }
        if (queued <= 0) {
            return {};
        }
        if (waited >= limit_ms) {
            return Error::from_errno(ETIMEDOUT);
        }
        sleep_1_ms();
    }
}

Status SerialDevice::hard_reset() {
    if (usb_node_.empty()) {
        return Error::from_errno(ENODEV);
    }
    if (logger_) {
        logger_->info("Resetting device: " + tty_path_ + " (" + usb_node_ + ")");
    }
    return reset_ ? reset_(usb_node_) : usbfs_reset(usb_node_);
}

void SerialDevice::close_port() {
    if (fd_ < 0) {
        return;
    }
    // The copies share one open file description: releasing the exclusive mode or the lock
    // through one copy would release them for all, so only the last copy does.
    if (open_copies_.use_count() <= 1) {
        ioctl(fd_, TIOCNXCL);
        flock(fd_, LOCK_UN);
    }
    open_copies_.reset();
    close_retrying(fd_);
    fd_ = -1;
}

std::vector<std::string> list_serial_ports() {
    std::vector<std::string> names;
    const std::string class_dir = system_path("/sys/class/tty");
    DIR* dir = opendir(class_dir.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.front() == '.') {
            continue;
        }
        if (exists(class_dir + "/" + name + "/device") &&
            exists(system_path("/dev/" + name))) {
            names.push_back(name);
        }
    }
    closedir(dir);
    return names;
}

}  // namespace voxapp
