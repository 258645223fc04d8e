#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/result.hpp"
#include "server/remote_link_handler.hpp"

namespace voxapp {

// Device classes: 0 the basic instrument kind, 1 to 10 the instrument models, 11 the router's
// own unit, 12 an instrument of another unit type.
inline constexpr std::uint8_t kRouterUnitDeviceClass = 11;

// What a device needs from the main loop after a process step.
enum class DeviceActivity {
    idle,     // nothing until a command, bytes on its line or another event arrives
    waiting,  // an exchange or transfer is in flight: its time limits need the loop's cadence
    ready,    // more work can be done at once
};

// Something the server talks to through its own connection: the router's own unit or an
// attached instrument.
//
// Threads: enqueue_command and the binary-transfer operations (try_lock_for, write_data,
// read_data, unlock) are called on the connection's worker thread; process and tick on the main
// loop thread. Implementations guard their queue and their line accordingly.
class Device {
public:
    // Receives the answer to one command; called once, on the thread that processes it.
    using ReplyCallback = std::function<void(const std::string& reply)>;
    // Receives a message the device sent without being asked.
    using MessageCallback = std::function<void(const std::string& message)>;

    virtual ~Device() = default;

    virtual std::uint32_t serial_number() const = 0;
    virtual std::uint8_t device_class() const = 0;
    // Whether a GPS tracker component is created for this device.
    virtual bool has_gps_tracker() const = 0;

    // Queues a command for the device. A command whose expiry has passed before it is sent is
    // dropped.
    virtual void enqueue_command(std::string text, ReplyCallback reply, CommandExpiry expiry) = 0;

    // The device lock: held while a long binary payload is streamed to the device. A command
    // exchange may hold it for seconds, so the caller waits in slices of `wait` and can give up
    // in between; true when it was taken.
    virtual bool try_lock_for(std::chrono::milliseconds wait) = 0;
    virtual void unlock() = 0;
    // Writes the whole piece, or fails (the device stopped taking bytes, or went away).
    virtual Status write_data(const char* data, std::size_t length) = 0;
    // Bytes the device answered; Error code EAGAIN while it has not answered yet.
    virtual Result<std::size_t> read_data(char* buffer, std::size_t capacity) = 0;

    // One step of work; an Error with code EAGAIN means "nothing could be done now".
    virtual Status process() = 0;
    virtual void tick(float elapsed_seconds) = 0;
    // Asked on the main loop thread right after process. A device that cannot tell keeps the
    // loop's cadence.
    virtual DeviceActivity activity() const { return DeviceActivity::waiting; }

    // Returns an id for unsubscribe_messages.
    virtual int subscribe_messages(MessageCallback callback) = 0;
    virtual void unsubscribe_messages(int id) = 0;
};

}  // namespace voxapp
