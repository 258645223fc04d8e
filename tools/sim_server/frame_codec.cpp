#include "sim_server/frame_codec.hpp"

namespace voxapp::sim {

namespace {

constexpr std::size_t kAsciiHeader = 3;
constexpr std::size_t kBinaryHeader = 7;

bool is_frame_start(char byte) {
    return byte == '#' || byte == '>' || byte == '<';
}

// The end (one past) of a text that starts with '#' at `from`: after its ';', or at the next
// frame start when the ';' is missing. nullopt when neither has arrived yet.
std::optional<std::size_t> text_end(const std::string& bytes, std::size_t from) {
    for (std::size_t at = from + 1; at < bytes.size(); ++at) {
        if (bytes[at] == ';') {
            return at + 1;
        }
        if (is_frame_start(bytes[at])) {
            return at;
        }
    }
    return std::nullopt;
}

std::uint16_t read_u16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t read_u32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return value;
}

void append_u16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

}  // namespace

const char* frame_kind_name(FrameKind kind) {
    switch (kind) {
        case FrameKind::plain:
            return "PLAIN";
        case FrameKind::ascii:
            return "ASCII";
        case FrameKind::binary:
            return "BINARY";
        case FrameKind::raw:
            break;
    }
    return "RAW";
}

std::string plain_frame(std::string_view text) {
    return std::string(text);
}

std::string ascii_frame(std::uint16_t id, std::string_view text) {
    std::string frame(1, '>');
    append_u16(frame, id);
    frame.append(text);
    return frame;
}

std::string binary_header(std::uint16_t id, std::uint32_t payload_length) {
    std::string header(1, '<');
    append_u16(header, id);
    for (int i = 0; i < 4; ++i) {
        header.push_back(static_cast<char>((payload_length >> (8 * i)) & 0xFF));
    }
    return header;
}

std::string binary_frame(std::uint16_t id, std::string_view payload) {
    return binary_header(id, static_cast<std::uint32_t>(payload.size())).append(payload);
}

std::vector<Frame> ReplyDecoder::feed(std::string_view bytes) {
    buffer_.append(bytes);
    std::vector<Frame> frames;
    while (auto frame = take_front()) {
        frames.push_back(std::move(*frame));
    }
    return frames;
}

std::optional<Frame> ReplyDecoder::take_front() {
    if (buffer_.empty()) {
        return std::nullopt;
    }
    Frame frame;
    std::size_t end = 0;
    switch (buffer_.front()) {
        case '#': {
            const auto found = text_end(buffer_, 0);
            if (!found) {
                return std::nullopt;
            }
            frame.kind = FrameKind::plain;
            frame.text = buffer_.substr(0, *found);
            end = *found;
            break;
        }
        case '>': {
            if (buffer_.size() < kAsciiHeader) {
                return std::nullopt;
            }
            const std::size_t hash = buffer_.find('#', kAsciiHeader);
            if (hash == std::string::npos) {
                return std::nullopt;
            }
            const auto found = text_end(buffer_, hash);
            if (!found) {
                return std::nullopt;
            }
            frame.kind = FrameKind::ascii;
            frame.id = read_u16(buffer_, 1);
            frame.text = buffer_.substr(hash, *found - hash);
            end = *found;
            break;
        }
        case '<': {
            if (buffer_.size() < kBinaryHeader) {
                return std::nullopt;
            }
            const std::uint32_t length = read_u32(buffer_, 3);
            if (buffer_.size() - kBinaryHeader < length) {
                return std::nullopt;
            }
            frame.kind = FrameKind::binary;
            frame.id = read_u16(buffer_, 1);
            frame.length = length;
            frame.text = buffer_.substr(kBinaryHeader, length);
            end = kBinaryHeader + length;
            break;
        }
        default: {
            std::size_t next = 1;
            while (next < buffer_.size() && !is_frame_start(buffer_[next])) {
                ++next;
            }
            if (next == buffer_.size()) {
                return std::nullopt;
            }
            frame.text = buffer_.substr(0, next);
            end = next;
            break;
        }
    }
    buffer_.erase(0, end);
    return frame;
}

std::optional<Frame> ReplyDecoder::flush() {
    if (buffer_.empty()) {
        return std::nullopt;
    }
    Frame frame;
    const char start = buffer_.front();
    if (start == '#') {
        frame.kind = FrameKind::plain;
        frame.text = buffer_;
    } else if (start == '>' && buffer_.size() >= kAsciiHeader &&
               buffer_.find('#', kAsciiHeader) != std::string::npos) {
        frame.kind = FrameKind::ascii;
        frame.id = read_u16(buffer_, 1);
        frame.text = buffer_.substr(buffer_.find('#', kAsciiHeader));
    } else if (start == '<' && buffer_.size() >= kBinaryHeader) {
        frame.kind = FrameKind::binary;
        frame.id = read_u16(buffer_, 1);
        frame.length = read_u32(buffer_, 3);
        frame.text = buffer_.substr(kBinaryHeader);
        frame.partial = true;
    } else {
        frame.text = buffer_;
    }
    buffer_.clear();
    return frame;
}

}  // namespace voxapp::sim
