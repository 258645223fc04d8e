#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "core/time_point.hpp"
#include "instruments/serial_device.hpp"
#include "instruments/usb_device_paths.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// What an instrument says of itself in answer to the hello ";#1,U?,N?;".
struct InstrumentIdentity {
    std::uint32_t unit_type = 0;
    std::uint32_t serial_number = 0;
};

// Assembles the hello reply from reads of any size. The reply is the text from the first "#1"
// through the next ';' or, when no ';' follows the "#1" but one stands before it, the text up to
// that first ';'.
class HelloReplyCollector {
public:
    // What one greeting reads at most without a complete reply.
    static constexpr std::size_t kMaxBytes = 4096;

    // Appends a read; returns the reply once complete (later reads are not expected).
    std::optional<std::string> append(std::string_view bytes);
    const std::string& buffer() const { return buffer_; }
    bool full() const { return buffer_.size() >= kMaxBytes; }

private:
    std::string buffer_;
};

// Reads "#1,U<type>,N<serial>" (then anything); both numbers decimal and within 32 bits.
std::optional<InstrumentIdentity> parse_hello_reply(std::string_view text);

struct GreetingTiming {
    // Checks for a tty node that is not there yet, this far apart (five at most).
    std::chrono::milliseconds node_wait{500};
    int node_checks = 5;
    // Pause after a read that found nothing; five such polls end the wait.
    std::chrono::milliseconds empty_poll{150};
    int empty_polls = 5;
    // The whole wait for a reply, however much arrives meanwhile.
    std::chrono::milliseconds limit{2000};
};

// The hello exchange with one newly seen tty, in steps that never wait: it checks for the tty
// node, opens the port, sends the hello and collects the reply, each step driven by the line's
// readiness or by due(), so that a silent or slow instrument holds up no other device. Errors:
// the errno of a failed open, write or read, ENODATA when nothing came back, EPROTO when the
// reply does not parse (also when the instrument kept talking past the byte or time bound).
// Logs with the DeviceManager's texts.
//
// Threads: the main loop thread only.
class InstrumentGreeting {
public:
    InstrumentGreeting(DevicePaths paths, std::shared_ptr<Logger> logger, GreetingTiming timing,
                       UsbResetFunction reset, TimePoint now);

    // Does what can be done at `now` (monotonic); true once the greeting has ended.
    bool step(TimePoint now);
    // The outcome, once step returned true.
    const Result<InstrumentIdentity>& outcome() const { return *outcome_; }
    const SerialDevice& port() const { return port_; }
    const DevicePaths& paths() const { return paths_; }
    // The line's descriptor once the port is open (-1 before): readable bytes call for a step.
    int fd() const { return port_.fd(); }
    // When the next step is due without any bytes on the line.
    TimePoint due() const { return due_; }

private:
    enum class Stage { node, reply };

    void open_and_send(TimePoint now);
    void collect(TimePoint now);
    void finish(Result<InstrumentIdentity> outcome);
    void finish_with_reply(const std::optional<std::string>& reply);

    DevicePaths paths_;
    std::shared_ptr<Logger> logger_;
    GreetingTiming timing_;
    UsbResetFunction reset_;
    Stage stage_ = Stage::node;
    SerialDevice port_;
    int node_checks_ = 0;
    int empty_polls_ = 0;
    TimePoint due_;
    TimePoint deadline_ = 0;
    HelloReplyCollector collector_;
    std::optional<Result<InstrumentIdentity>> outcome_;
};

}  // namespace voxapp
