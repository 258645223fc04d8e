#pragma once

#include <optional>

#include "server/link_status.hpp"

namespace voxapp {

// A part of a device's link that runs on its own (a server connection, a GPS tracker): started
// when the link starts, stopped when it stops. Both are idempotent.
class LinkComponent {
public:
    virtual ~LinkComponent() = default;
    virtual void start() = 0;
    virtual void stop() = 0;

    // The state of a server connection, for status reports; nullopt for other components.
    // Callable from any thread.
    virtual std::optional<LinkStatus> link_status() const { return std::nullopt; }
};

}  // namespace voxapp
