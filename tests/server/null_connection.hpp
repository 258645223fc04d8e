#pragma once

#include <cstddef>
#include <cstdint>

#include "server/remote_connection.hpp"

namespace voxapp::test {

// A connection that accepts every send and keeps nothing.
class NullConnection : public RemoteConnection {
public:
    Result<std::size_t> send_reply(std::uint16_t, const char*, std::size_t length) override {
        return length;
    }
    Result<std::size_t> send_binary_reply(std::uint16_t, std::uint32_t, const char*,
                                          std::size_t length) override {
        return length;
    }
    Result<std::size_t> send_raw(const char*, std::size_t length) override { return length; }
};

}  // namespace voxapp::test
