#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxapp::sim {

enum class FrameKind { plain, ascii, binary, raw };

// "PLAIN", "ASCII", "BINARY" or "RAW".
const char* frame_kind_name(FrameKind kind);

// Frames as the server sends them (integers little-endian):
//   PLAIN   the command text alone
//   ASCII   '>' id:u16, then the command text
//   BINARY  '<' id:u16 length:u32, then exactly `length` payload bytes
std::string plain_frame(std::string_view text);
std::string ascii_frame(std::uint16_t id, std::string_view text);
std::string binary_header(std::uint16_t id, std::uint32_t payload_length);
std::string binary_frame(std::uint16_t id, std::string_view payload);

// One frame that a device sent.
struct Frame {
    FrameKind kind = FrameKind::raw;
    std::uint16_t id = 0;      // ASCII and BINARY
    std::uint32_t length = 0;  // BINARY: the length its header declares
    std::string text;          // the command text, the payload, or the stray bytes
    bool partial = false;      // BINARY: the link ended before the whole payload came
    std::chrono::steady_clock::time_point first_byte{};  // set by the server, not the decoder
};

// Cuts the byte stream that a device sends into frames:
//   '#' ... ';'                     PLAIN
//   '>' id:u16, '#' ... ';'         ASCII (bytes between the header and the '#' are dropped)
//   '<' id:u16 length:u32 payload   BINARY, complete once `length` payload bytes are in
// A text frame that lacks its ';' (the daemon answers "#7,US;" with "#7,US,1") ends where the
// next frame starts, or when the caller calls flush after a quiet spell. Bytes outside frames
// come out as RAW frames, ended by the next frame start or by flush.
class ReplyDecoder {
public:
    // Appends `bytes` and returns the frames that they complete, in order.
    std::vector<Frame> feed(std::string_view bytes);
    // Ends whatever is pending as it stands: a text frame without its ';', stray bytes, or a
    // BINARY frame cut short (marked partial). nullopt when nothing is pending.
    std::optional<Frame> flush();
    // Whether bytes of an unfinished frame are held.
    bool pending() const { return !buffer_.empty(); }
    // Whether what is held is the start of a BINARY frame, which only its length ends.
    bool holds_binary() const { return !buffer_.empty() && buffer_.front() == '<'; }

private:
    // Removes the complete frame at the buffer's front and returns it; nullopt when it needs
    // more bytes.
    std::optional<Frame> take_front();

    std::string buffer_;
};

}  // namespace voxapp::sim
