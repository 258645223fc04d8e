#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "system/logging/logger.hpp"

namespace voxapp {

// Cuts one command's reply out of what an instrument sends, across reads of any size: finds the
// reply's start ("#" + group, then ",<first parameter>" for group 7, or ",?"), completes the
// header at its ';', then collects the binary payload that some headers announce. Text around
// the reply goes to the leftover buffer, which the proxy hands on as spontaneous messages.
//
// Binary payloads after the header's ';':
// - group D, first parameter starting with R, r, Z or z: as many bytes as the fifth parameter;
// - group 4 with no or one parameter, or three parameters of which the first is "0": a 4-byte
//   little-endian length, then that many bytes;
// - group 3: one byte and a 2-byte little-endian length, then that many bytes; for device
//   classes 0, 1, 7 and 8 a first byte 0 is the whole payload.
// Length bytes that arrive in a later read than the ';' are waited for; bytes beyond the payload
// go to the leftover buffer. Not thread-safe: the proxy's main-thread exchange owns it.
class InstrumentReplyAssembler {
public:
    // Above this a payload is refused (the header is logged and the exchange left to its time
    // limit); the largest real replies are far smaller.
    static constexpr std::uint32_t kMaxPayload = 16u << 20;
    // The reply and leftover buffers never hold more than this; the oldest leftover text is
    // dropped first.
    static constexpr std::size_t kMaxBuffer = 64u << 10;

    explicit InstrumentReplyAssembler(std::uint8_t device_class) : device_class_(device_class) {}

    // A new exchange expecting a reply to `group` (first parameter only for group 7).
    void begin(char group, std::string first_parameter);
    // Clears the exchange (the leftover buffer stays).
    void reset();
    // Takes in one read; returns the whole reply (header and payload) once complete, after which
    // the assembler is idle until the next begin. `logger` receives the header parse errors.
    std::optional<std::string> feed(std::string_view data, Logger& logger);

    bool reply_started() const { return start_found_; }
    bool header_complete() const { return header_complete_; }
    std::int64_t bytes_expected() const { return bytes_expected_; }

    const std::string& leftover() const { return leftover_; }
    std::string take_leftover();

private:
    std::optional<std::string> complete_header(Logger& logger);
    // The payload still missing once the header is complete, or nullopt while the bytes that
    // give its length have not all arrived.
    std::optional<std::int64_t> payload_size(const std::string& header, std::string_view after,
                                             Logger& logger);
    std::optional<std::string> finish();
    void add_leftover(std::string_view text);

    const std::uint8_t device_class_;
    char group_ = 0;
    std::string first_parameter_;
    std::string reply_;
    std::string leftover_;
    bool active_ = false;
    bool start_found_ = false;
    bool header_complete_ = false;
    bool refused_ = false;
    // Length of the header within reply_, once complete.
    std::size_t header_length_ = 0;
    std::int64_t bytes_expected_ = -1;
};

}  // namespace voxapp
