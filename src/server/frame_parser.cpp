#include "server/frame_parser.hpp"

#include <algorithm>

#include "system/logging/log_text.hpp"

namespace voxapp {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;
constexpr std::size_t kAsciiHeader = 3;   // '>' id
constexpr std::size_t kBinaryHeader = 7;  // '<' id length

std::uint16_t read_u16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t read_u32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// Request ids appear in the log as signed 16-bit numbers.
std::int16_t printable_id(std::uint16_t id) {
    return static_cast<std::int16_t>(id);
}

std::size_t find_frame_start(std::string_view bytes, std::size_t from) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '#' || c == '<' || c == '>') {
            return i;
        }
    }
    return kNotFound;
}

}  // namespace

template <typename... Parts>
void FrameParser::log(const Parts&... parts) {
    if (logger_ == nullptr) {
        return;
    }
    line_.clear();
    append_log_parts(line_, parts...);
    logger_->data(line_);
}

FrameParser::Outcome FrameParser::parse(std::string& buffer) {
    const std::string_view bytes(buffer);
    std::size_t position = 0;
    std::size_t consumed = 0;
    oversized_ = false;
    while (position < bytes.size()) {
        if (pending_binary_bytes_ > 0) {
            position = consumed = feed_binary_payload(bytes, position);
            continue;
        }
        const std::size_t start = find_frame_start(bytes, position);
        if (start == kNotFound) {
            break;
        }
        const std::optional<std::size_t> next = parse_frame(bytes, start);
        if (oversized_) {
            buffer.clear();
            return Outcome::reset_link;
        }
        if (!next) {
            break;
        }
        position = consumed = *next;
    }
    if (consumed > 0) {
        buffer.erase(0, consumed);
    } else if (buffer.size() > kMaxPendingBytes) {
        buffer.clear();
    }
    return Outcome::keep_link;
}

std::size_t FrameParser::feed_binary_payload(std::string_view bytes, std::size_t position) {
    const std::size_t available = bytes.size() - position;
    if (available < pending_binary_bytes_) {
        log("Binary packet: ", available);
        pending_binary_bytes_ -= static_cast<std::uint32_t>(available);
        if (handler_ != nullptr) {
            handler_->on_binary_chunk(connection_, bytes.data() + position, available);
        }
        return bytes.size();
    }
    const std::uint32_t last = pending_binary_bytes_;
    log("Binary end: ", last);
    pending_binary_bytes_ = 0;
    if (handler_ != nullptr) {
        handler_->on_binary_end(connection_, bytes.data() + position, last);
    }
    return position + last;
}

std::size_t FrameParser::find_command_end(std::string_view bytes, std::size_t from,
                                          bool data_header) {
    if (!data_header) {
        return bytes.find(';', from);
    }
    int commas = 0;
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] == ';') {
            return i;
        }
        if (bytes[i] == ',') {
            if (commas == 2) {
                return i;
            }
            ++commas;
            log("Comma found!");
        }
    }
    return kNotFound;
}

std::optional<std::size_t> FrameParser::parse_frame(std::string_view bytes, std::size_t start) {
    const char kind = bytes[start];
    std::size_t text = start;
    char code = '\0';
    if (kind != '#') {
        // The header is binary: a '#' or ';' among the id and length bytes is no command text.
        const std::size_t header = kind == '>' ? kAsciiHeader : kBinaryHeader;
        text = start + header < bytes.size() ? bytes.find('#', start + header) : kNotFound;
        if (text == kNotFound) {
            return std::nullopt;
        }
        if (text + 1 < bytes.size()) {
            code = bytes[text + 1];
            if (code == '9') {
                log("#9 found!");
                if (bytes.size() > kMaxDumpBytes) {
                    log(bytes.substr(0, kMaxDumpBytes), "... (", bytes.size(), " bytes)");
                } else {
                    log(bytes);
                }
            }
        }
    }
    const std::size_t end = find_command_end(bytes, text + 1, code == '9');
    if (end == kNotFound) {
        return std::nullopt;
    }
    const std::size_t count = end - start + 1;
    log("End of command found!");
    log("Count OK! ", count - 1);
    if (kind == '<') {
        return deliver_binary(bytes, start, text, end);
    }
    if (kind == '#') {
        if (handler_ != nullptr) {
            handler_->on_command(connection_, 0, bytes.data() + start, count, std::nullopt);
        }
        log("Received PLAIN command: ", bytes.substr(start, count));
        return end + 1;
    }
    const std::uint16_t id = read_u16(bytes, start + 1);
    const std::string_view command = bytes.substr(text, end + 1 - text);
    if (handler_ != nullptr) {
        handler_->on_command(connection_, id, command.data(), command.size(), std::nullopt);
    }
    log("Received ASCII command: ", command, " with id: ", printable_id(id));
    return end + 1;
}

std::optional<std::size_t> FrameParser::deliver_binary(std::string_view bytes, std::size_t start,
                                                       std::size_t text, std::size_t command_end) {
    const std::uint16_t id = read_u16(bytes, start + 1);
    const std::uint32_t length = read_u32(bytes, start + 3);
    const std::size_t payload = start + kBinaryHeader;
    // Noise before the '#' of a SHORT BINARY frame counts towards the payload length but is not
    // handed on with the command.
    const std::size_t noise = text - payload;
    const std::size_t header_length = command_end + 1 - payload;
    log("Binary len: ", length);
    if (length > kMaxBinaryPayload) {
        if (logger_ != nullptr) {
            line_.clear();
            append_log_parts(line_, "BINARY frame declares ", length, " payload bytes, more than ",
                             kMaxBinaryPayload, ": resetting the link");
            logger_->error(line_);
        }
        oversized_ = true;
        return std::nullopt;
    }
    if (length <= kMaxShortPayload) {
        const std::size_t payload_end = payload + length;
        if (payload_end > bytes.size()) {
            log("Waiting for all data");
            return std::nullopt;
        }
        if (handler_ != nullptr) {
            handler_->on_command(connection_, id, bytes.data() + text,
                                 std::max(payload_end, text) - text, std::nullopt);
        }
        log("Received SHORT BINARY command: ", bytes.substr(text, header_length - noise),
            " with id: ", printable_id(id), ", len: ", length);
        // A payload shorter than its command text still ends the frame after the text.
        return std::max(payload_end, command_end + 1);
    }
    // Only a command text longer than the whole payload makes the first piece the last one; the
    // transfer then still ends with on_binary_end, so that every begin has its end.
    // The streamed pieces stay exactly the payload: whoever receives them counts on that.
    const std::size_t first = std::min<std::size_t>(header_length, length);
    if (handler_ != nullptr) {
        handler_->on_binary_begin(connection_, id, bytes.data() + payload, first);
    }
    log("Received BINARY command: ", bytes.substr(payload, first), " with id: ", printable_id(id),
        ", len: ", length);
    pending_binary_bytes_ = static_cast<std::uint32_t>(length - first);
    if (pending_binary_bytes_ == 0) {
        log("Binary end: ", 0U);
        if (handler_ != nullptr) {
            handler_->on_binary_end(connection_, bytes.data() + payload + first, 0);
        }
    }
    return command_end + 1;
}

}  // namespace voxapp
