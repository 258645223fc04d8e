#pragma once

namespace voxapp {

// A part of a device's link that runs on its own (a server connection, a GPS tracker): started
// when the link starts, stopped when it stops. Both are idempotent.
class LinkComponent {
public:
    virtual ~LinkComponent() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

}  // namespace voxapp
