#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/remote_connection.hpp"
#include "server/remote_link_handler.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Cuts the bytes received on a server connection into frames and hands them to a
// RemoteLinkHandler. Frames (integers little-endian):
//   PLAIN   '#' ... ';'
//   ASCII   '>' id:u16, then the command text '#' ... ';'
//   BINARY  '<' id:u16 length:u32, then exactly `length` payload bytes holding '#' ... ';'
// Bytes outside frames are skipped. In ASCII and BINARY frames the command text starts at the
// first '#' after the header (noise in between is not handed on with a command; a streamed
// payload is handed on whole), and the header of a '#9' command ends at its third ',' (raw data
// follows) unless a ';' comes first. A BINARY payload of at most kMaxShortPayload bytes is
// delivered whole once it is all in the buffer; a larger one is streamed: its start through the
// command header, then the rest piece by piece as it arrives.
//
// One parser per connection. Between calls it keeps only the count of streamed payload bytes
// still to come; a frame that is not complete yet stays at the buffer's front and is scanned
// again on the next call. Not thread-safe: call it from the connection's worker thread only.
// Traffic is logged at DATA through the logger when one is set.
class FrameParser {
public:
    static constexpr std::uint32_t kMaxShortPayload = 32768;
    // A buffer longer than this from which a call consumed nothing is emptied.
    static constexpr std::size_t kMaxPendingBytes = 65536;
    // The largest BINARY payload accepted: well above the largest real transfer (an instrument's
    // firmware image). A larger declared length is taken for a stray '<' whose length bytes are
    // noise; believing it would swallow the stream (and hold an instrument's lock) for up to
    // 4 GiB, so the link is reset instead.
    static constexpr std::uint32_t kMaxBinaryPayload = 64 * 1024 * 1024;
    // The most bytes of the receive buffer that the "#9 found!" dump shows.
    static constexpr std::size_t kMaxDumpBytes = 256;

    // What the owner of the link is to do after a parse.
    enum class Outcome { keep_link, reset_link };

    // `connection` is what the handler's callbacks receive; it must outlive the parser.
    explicit FrameParser(RemoteConnection& connection) : connection_(connection) {}

    // Both optional (null: frames are consumed without calls, or without logging) and not
    // owned: each must outlive the parser or be replaced before it goes away.
    void set_handler(RemoteLinkHandler* handler) { handler_ = handler; }
    void set_logger(Logger* logger) { logger_ = logger; }

    // Handles every complete frame in `buffer` and the pieces of a streamed payload, calling the
    // handler synchronously with pointers into `buffer`, then erases from the front of `buffer`
    // what was handled. The handler must not touch `buffer`. Returns reset_link (after logging
    // it at ERROR, with `buffer` emptied) when a BINARY frame declares a payload longer than
    // kMaxBinaryPayload: the stream can no longer be framed and the link must be remade.
    Outcome parse(std::string& buffer);

    // Bytes of a streamed BINARY payload still to come (0: no transfer in progress).
    std::uint32_t pending_binary_bytes() const { return pending_binary_bytes_; }
    // Forgets a streamed payload still in progress, so that the bytes of a new link are framed
    // afresh instead of being taken as its rest. Returns whether one was in progress.
    bool abandon_binary() {
        const bool pending = pending_binary_bytes_ != 0;
        pending_binary_bytes_ = 0;
        return pending;
    }

private:
    // Each returns the position after what it handled, or nullopt when the frame starting at
    // `start` needs more bytes.
    std::optional<std::size_t> parse_frame(std::string_view bytes, std::size_t start);
    std::optional<std::size_t> deliver_binary(std::string_view bytes, std::size_t start,
                                              std::size_t text, std::size_t command_end);
    std::size_t find_command_end(std::string_view bytes, std::size_t from, bool data_header);
    std::size_t feed_binary_payload(std::string_view bytes, std::size_t position);

    template <typename... Parts>
    void log(const Parts&... parts);

    RemoteConnection& connection_;
    RemoteLinkHandler* handler_ = nullptr;
    Logger* logger_ = nullptr;
    std::uint32_t pending_binary_bytes_ = 0;
    bool oversized_ = false;  // set by deliver_binary for parse
    std::string line_;        // reused for every log line
};

}  // namespace voxapp
