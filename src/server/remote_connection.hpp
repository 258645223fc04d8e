#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/result.hpp"

namespace voxapp {

// A link to the server as seen by whoever answers commands: the three send paths. Each returns
// the number of bytes of `data` sent, or an Error (empty message, code EOPNOTSUPP when the link
// is not connected, otherwise errno of the failed send). Safe to call from any thread; the frame
// layouts are those of reply_framing.hpp.
class RemoteConnection {
public:
    virtual ~RemoteConnection() = default;

    // A reply in the frame kind of the command it answers: ASCII with `request_id`, or PLAIN when
    // `request_id` is 0.
    virtual Result<std::size_t> send_reply(std::uint16_t request_id, const char* data,
                                           std::size_t length) = 0;
    // The first part of a BINARY reply of `total_length` bytes (PLAIN when `request_id` is 0);
    // when `total_length` exceeds `length`, the rest follows through send_raw.
    virtual Result<std::size_t> send_binary_reply(std::uint16_t request_id,
                                                  std::uint32_t total_length, const char* data,
                                                  std::size_t length) = 0;
    // The bytes as they are, unframed.
    virtual Result<std::size_t> send_raw(const char* data, std::size_t length) = 0;

    // send_reply (or send_binary_reply with the whole reply, when `binary`) for a caller that
    // must not wait for the server: a connection with a thread of its own sends it from there,
    // in the order queued, and the caller learns only whether the reply was taken. The default
    // sends at once.
    virtual Status queue_reply(std::uint16_t request_id, std::string reply, bool binary) {
        const auto sent =
            binary ? send_binary_reply(request_id, static_cast<std::uint32_t>(reply.size()),
                                       reply.data(), reply.size())
                   : send_reply(request_id, reply.data(), reply.size());
        if (!sent) {
            return sent.error();
        }
        return {};
    }

    // The link that is up now (a connection may make many over its life, one after another);
    // a command is answered with queue_reply_on and the link it arrived on. A connection with a
    // single link answers 0.
    virtual std::uint64_t current_link() const { return 0; }
    // queue_reply, but only while `link` is still the link that is up: a reply for a link that
    // has gone is dropped (EOPNOTSUPP), never sent on the next link, where its request id would
    // answer another request.
    virtual Status queue_reply_on(std::uint64_t link, std::uint16_t request_id, std::string reply,
                                  bool binary) {
        if (link != current_link()) {
            return Error::from_errno(EOPNOTSUPP);
        }
        return queue_reply(request_id, std::move(reply), binary);
    }
};

}  // namespace voxapp
