#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "core/version_info.hpp"
#include "server/camera_directory.hpp"
#include "server/client_service.hpp"
#include "server/recording_requester.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Answers a unit's FTP-account and camera-recording commands ("#7,<identity>,...;"), for the
// router unit and for instruments that cannot answer them. Keeps no state between commands.
// Main loop thread.
class UnitRequestHandler {
public:
    UnitRequestHandler(std::uint32_t router_serial, VersionInfo version,
                       std::shared_ptr<ClientService> clients,
                       std::shared_ptr<CameraDirectory> cameras,
                       std::shared_ptr<RecordingRequester> recordings,
                       std::shared_ptr<Logger> logger);

    // `parameters[0]` is the identity word itself ("SN" or "SV"); `unit_serial` and
    // `device_class` are those of the unit that asked.
    Result<std::string> handle(std::string_view identity,
                               const std::vector<std::string>& parameters,
                               std::uint32_t unit_serial, std::uint8_t device_class);

private:
    std::string credentials(const std::string& prefix, const std::vector<std::string>& q,
                            std::uint32_t unit_serial);
    std::string recording(const std::string& prefix, const std::vector<std::string>& q,
                          std::uint32_t unit_serial, std::uint8_t device_class);
    std::string unit_details(const std::string& prefix, std::string_view word);

    std::uint32_t router_serial_;
    VersionInfo version_;
    std::shared_ptr<ClientService> clients_;
    std::shared_ptr<CameraDirectory> cameras_;
    std::shared_ptr<RecordingRequester> recordings_;
    std::shared_ptr<Logger> logger_;
};

}  // namespace voxapp
