#pragma once

#include <cstddef>

#include "core/result.hpp"

namespace voxapp {

// Where framed replies go: the sending side of a server connection.
class ByteSink {
public:
    virtual ~ByteSink() = default;

    virtual bool is_connected() const = 0;
    // Sends all `length` bytes; returns `length`, or an Error when the bytes could not all be
    // sent.
    virtual Result<std::size_t> send_bytes(const char* data, std::size_t length) = 0;
};

}  // namespace voxapp
