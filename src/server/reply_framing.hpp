#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/result.hpp"
#include "server/byte_sink.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Frames replies onto a ByteSink (integers little-endian):
//   ASCII   '>' id:u16, then the text
//   BINARY  '<' id:u16 total_length:u32, then the data
//   PLAIN   the text alone, for request id 0 (a command that came in a PLAIN frame)
// The header and the body are two sends. Every operation fails at once, sending nothing, with an
// Error of empty message and code EOPNOTSUPP when the sink is not connected; otherwise it returns
// the result of sending the body (a failed header send is returned and the body is not sent).
// Logs "Sending ... reply" at DATA and the body as a DATA FULL dump when a logger is set.
// Callable from several threads at once: each reply's header and body go out together, never
// interleaved with another reply sent through the same framer (the rest of a BINARY reply that
// the caller sends through send_raw is the caller's to keep together).
class ReplyFramer {
public:
    explicit ReplyFramer(ByteSink& sink) : sink_(sink) {}

    // Optional and not owned: it must outlive the framer or be replaced before it goes away.
    void set_logger(Logger* logger) { logger_ = logger; }

    Result<std::size_t> send_reply(std::uint16_t request_id, const char* text, std::size_t length);
    // `total_length` goes into the header; when it exceeds `length`, the caller sends the rest
    // through send_raw.
    Result<std::size_t> send_binary_reply(std::uint16_t request_id, std::uint32_t total_length,
                                          const char* data, std::size_t length);
    Result<std::size_t> send_raw(const char* data, std::size_t length);

private:
    Result<std::size_t> send_framed(const char* header, std::size_t header_length,
                                    const char* kind_line, const char* body, std::size_t length);

    ByteSink& sink_;
    Logger* logger_ = nullptr;
    std::mutex send_mutex_;
};

}  // namespace voxapp
