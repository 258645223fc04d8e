#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/time_point.hpp"
#include "server/remote_connection.hpp"

namespace voxapp {

// When a queued command stops being worth sending; empty means never.
using CommandExpiry = std::optional<TimePoint>;

// The callbacks of a server connection. The frame parser calls them on the connection's worker
// thread, in the order the frames arrived. Pointers refer into the receive buffer and are valid
// only during the call: copy what is kept. A long BINARY transfer is always exactly one
// on_binary_begin, zero or more on_binary_chunk and one on_binary_end, with nothing in between;
// the three lengths add up to the frame's payload length.
class RemoteLinkHandler {
public:
    virtual ~RemoteLinkHandler() = default;

    // A command that did not come out of a frame (the frame parser never calls this).
    virtual void on_unsolicited(RemoteConnection& connection, const char* text,
                                std::size_t length) = 0;
    // A complete PLAIN (request id 0), ASCII or SHORT BINARY command. The frame parser passes no
    // expiry; other producers of commands may.
    virtual void on_command(RemoteConnection& connection, std::uint16_t request_id,
                            const char* text, std::size_t length, CommandExpiry expiry) = 0;
    // The start of a long BINARY payload, through the end of its command header.
    virtual void on_binary_begin(RemoteConnection& connection, std::uint16_t request_id,
                                 const char* data, std::size_t length) = 0;
    // A middle piece of a long BINARY payload (never empty).
    virtual void on_binary_chunk(RemoteConnection& connection, const char* data,
                                 std::size_t length) = 0;
    // The last piece of a long BINARY payload (empty only when the first piece held it all).
    virtual void on_binary_end(RemoteConnection& connection, const char* data,
                               std::size_t length) = 0;
    // The connection's worker thread has started.
    virtual void on_started(RemoteConnection& connection) = 0;
    // A long BINARY transfer that began will never end: its link was lost (or the connection
    // stopped) before the whole payload arrived. Whatever on_binary_begin took (a device lock)
    // is to be given back here. Called on the worker thread, at most once per begun transfer.
    virtual void on_binary_abandoned(RemoteConnection& /*connection*/) {}
};

}  // namespace voxapp
