#include "server/reply_framing.hpp"

#include <cerrno>
#include <string>
#include <string_view>

namespace voxapp {
namespace {

Error not_connected() {
    return Error::from_errno(EOPNOTSUPP);
}

}  // namespace

Result<std::size_t> ReplyFramer::send_reply(std::uint16_t request_id, const char* text,
                                            std::size_t length) {
    const char header[] = {'>', static_cast<char>(request_id & 0xFF),
                           static_cast<char>(request_id >> 8)};
    return send_framed(header, request_id != 0 ? sizeof header : 0, "Sending ASCII reply", text,
                       length);
}

Result<std::size_t> ReplyFramer::send_binary_reply(std::uint16_t request_id,
                                                   std::uint32_t total_length, const char* data,
                                                   std::size_t length) {
    const char header[] = {'<',
                           static_cast<char>(request_id & 0xFF),
                           static_cast<char>(request_id >> 8),
                           static_cast<char>(total_length & 0xFF),
                           static_cast<char>(total_length >> 8 & 0xFF),
                           static_cast<char>(total_length >> 16 & 0xFF),
                           static_cast<char>(total_length >> 24)};
    return send_framed(header, request_id != 0 ? sizeof header : 0, "Sending BINARY reply", data,
                       length);
}

Result<std::size_t> ReplyFramer::send_raw(const char* data, std::size_t length) {
    std::lock_guard lock(send_mutex_);
    if (!sink_.is_connected()) {
        return not_connected();
    }
    return sink_.send_bytes(data, length);
}

// A header length of 0 means a PLAIN frame.
Result<std::size_t> ReplyFramer::send_framed(const char* header, std::size_t header_length,
                                             const char* kind_line, const char* body,
                                             std::size_t length) {
    std::lock_guard lock(send_mutex_);
    if (!sink_.is_connected()) {
        return not_connected();
    }
    if (header_length > 0) {
        if (logger_ != nullptr) {
            logger_->data(kind_line);
        }
        if (Result<std::size_t> sent = sink_.send_bytes(header, header_length); !sent) {
            return sent.error();
        }
    } else if (logger_ != nullptr) {
        logger_->data("Sending PLAIN reply");
    }
    if (logger_ != nullptr) {
        std::string dump = "(";
        dump += std::to_string(length);
        dump += " bytes) ";
        dump.append(body, length);
        logger_->data_full(dump);
    }
    return sink_.send_bytes(body, length);
}

}  // namespace voxapp
