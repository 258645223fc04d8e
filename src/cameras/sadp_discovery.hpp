#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <memory>
#include <optional>

#include "cameras/camera_service.hpp"
#include "cameras/uuid_generator.hpp"
#include "core/result.hpp"
#include "system/io/fd_handler.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Finds cameras on the LAN bridge: probe() multicasts an inquiry to the camera vendor's search
// group, and every answer naming an activated camera inside the bridge's subnet is handed to
// the camera service. Answers are untrusted LAN input, judged by their content alone; whatever
// they hold, the worst outcome is a log line (one per burst while the camera store is full).
//
// Event loop thread only: the caller registers the object with the loop (readable answers)
// and calls probe() from its timer.
class SadpDiscovery final : public FdHandler {
public:
    static constexpr const char* kInterface = "br-lan";

    // Errors carry errno: socket or bind failed (logged).
    static Result<std::unique_ptr<SadpDiscovery>> create(std::shared_ptr<Logger> logger,
                                                         std::shared_ptr<CameraService> cameras,
                                                         std::shared_ptr<UuidGenerator> ids);
    ~SadpDiscovery() override;

    // Sends one probe with a fresh id, on the bridge or else on the default interface.
    void probe();

    int fd() const override { return fd_; }
    std::uint32_t events() const override { return EPOLLIN; }
    // Takes one answer.
    void on_readable() override;
    void on_writable() override {}
    void on_error() override {}

private:
    SadpDiscovery(std::shared_ptr<Logger> logger, std::shared_ptr<CameraService> cameras,
                  std::shared_ptr<UuidGenerator> ids, int fd);
    void send_to_group(const std::string& datagram);
    bool in_bridge_subnet(const std::string& ip_text) const;

    const std::shared_ptr<Logger> logger_;
    const std::shared_ptr<CameraService> cameras_;
    // Refusals of a full store closer together than this are one burst, warned of once.
    static constexpr std::chrono::minutes kRefusalBurstGap{10};

    const std::shared_ptr<UuidGenerator> ids_;
    const int fd_;
    std::optional<std::chrono::steady_clock::time_point> last_refusal_;
};

}  // namespace voxapp
