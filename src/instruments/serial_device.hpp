#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/result.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Resets the USB device behind a usbfs node (e.g. "/dev/bus/usb/001/004"); the errno of the
// failed step as the error. The default opens the node and issues USBDEVFS_RESET; tests replace
// it to see the reset without hardware.
using UsbResetFunction = std::function<Status(const std::string& usb_node)>;
Status usbfs_reset(const std::string& usb_node);

// One instrument's tty, opened exclusively (TIOCEXCL and flock) in raw mode at 115200 baud with
// a non-blocking descriptor. Copies dup the descriptor and apply the line settings again; each
// copy closes its own descriptor, and the exclusive mode and the lock last as long as any copy
// is open. A wait for the tty to take more output is bounded (ETIMEDOUT).
//
// Errors carry an empty message and the errno of the failed call, or -1 for end of file (a
// read or write that transferred nothing). Used by one thread at a time.
class SerialDevice {
public:
    static constexpr int kSpeed = 115200;

    // `tty_path` ("/dev/ttyUSB0") and `usb_node` are the router's paths, opened below
    // VOXAPP_ROOT when it is set; an empty `usb_node` only disables hard_reset.
    static Result<SerialDevice> open_port(const std::string& tty_path, const std::string& usb_node,
                                          std::shared_ptr<Logger> logger,
                                          UsbResetFunction reset = usbfs_reset);

    SerialDevice() = default;
    SerialDevice(const SerialDevice& other);
    SerialDevice& operator=(const SerialDevice& other);
    SerialDevice(SerialDevice&& other) noexcept;
    SerialDevice& operator=(SerialDevice&& other) noexcept;
    ~SerialDevice() { close_port(); }

    // Writes every byte, waiting (bounded) for the tty to take more once part went out. Returns
    // the length (0 at once for length 0). A tty that takes nothing at all fails at once with
    // EAGAIN: a full output queue is not waited for.
    Result<std::size_t> write_all(const char* data, std::size_t length);
    // One non-blocking write: how many bytes the tty took (at least 1), EAGAIN when its output
    // queue is full. Never waits.
    Result<std::size_t> write_some(const char* data, std::size_t length);
    // Waits at most `limit_ms` for the tty to take more output; false when it did not.
    bool wait_writable(int limit_ms) const;
    // One non-blocking read; at least 1 byte, or EAGAIN when nothing is pending.
    Result<std::size_t> read_some(char* buffer, std::size_t capacity);
    // Discards what the instrument already sent (at most 6 reads of 1024 bytes).
    void drain_input();
    // 0 input, 1 output, 2 both; above 2 fails with EINVAL.
    Status flush_queue(int queue);
    // Waits until the tty has sent what was written (its output queue is empty), at most
    // `limit_ms`; ETIMEDOUT when it has not. Discards nothing.
    Status drain_output(int limit_ms);
    // Resets the USB device that carries the tty; ENODEV without a known USB node.
    Status hard_reset();
    void close_port();

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& tty_path() const { return tty_path_; }
    const std::string& usb_node() const { return usb_node_; }

private:
    SerialDevice(int fd, std::string tty_path, std::string usb_node,
                 std::shared_ptr<Logger> logger, UsbResetFunction reset);
    void copy_from(const SerialDevice& other);

    int fd_ = -1;
    std::string tty_path_;
    std::string usb_node_;
    std::shared_ptr<Logger> logger_;
    UsbResetFunction reset_;
    // Shared by the open copies of one port; its use count tells the last copy.
    std::shared_ptr<char> open_copies_;
};

// The tty names ("ttyUSB0", ...) under /sys/class/tty that have a `device` entry and a /dev
// node, in directory order; empty when /sys/class/tty is missing.
std::vector<std::string> list_serial_ports();

}  // namespace voxapp
