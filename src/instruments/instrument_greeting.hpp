#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "instruments/serial_device.hpp"
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
    // Pause after a read that found nothing; five such polls end the wait.
    std::chrono::milliseconds empty_poll{150};
    int empty_polls = 5;
    // The whole wait for a reply, however much arrives meanwhile.
    std::chrono::milliseconds limit{2000};
};

// Drains the line, sends the hello and reads the reply. Errors: the errno of a failed write or
// read, ENODATA when nothing came back, EPROTO when the reply does not parse (also when the
// instrument kept talking past the byte or time bound). Logs with the DeviceManager's texts.
Result<InstrumentIdentity> greet_instrument(SerialDevice& port, Logger& logger,
                                            const GreetingTiming& timing = {});

}  // namespace voxapp
