#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/result.hpp"
#include "sim_camera/sim_camera.hpp"

namespace voxapp::test {

// The router's camera LAN: a veth pair whose router end is "br-lan" (192.168.77.1/24) in the
// calling thread's network namespace, and whose other end "cam0" lies in a namespace of its own
// where the simulated cameras live, each on an address of its own and port 80. Build it from
// the thread that entered the daemon's private namespace, before the daemon starts.
class CameraLan {
public:
    static constexpr const char* kRouterAddress = "192.168.77.1";

    // Error: the namespace or the link could not be made (the message says which step).
    static Result<std::unique_ptr<CameraLan>> create();
    ~CameraLan();
    CameraLan(const CameraLan&) = delete;
    CameraLan& operator=(const CameraLan&) = delete;

    // Starts a camera that answers discovery, on `options.address` (added to cam0 first).
    Result<std::unique_ptr<sim::SimCamera>> start_camera(sim::SimCamera::Options options);

private:
    explicit CameraLan(int namespace_fd) : namespace_fd_(namespace_fd) {}
    // Runs `work` on a thread inside the camera namespace and waits for it.
    Status in_camera_namespace(const std::function<Status()>& work);

    int namespace_fd_;
};

}  // namespace voxapp::test
