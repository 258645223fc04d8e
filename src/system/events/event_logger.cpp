#include "system/events/event_logger.hpp"

#include <cassert>
#include <string>
#include <string_view>
#include <utility>

#include "system/events/camera_events.hpp"
#include "system/events/system_events.hpp"

namespace voxapp {

namespace {

std::string storage_line(std::string_view verb, const MountedStorage& storage) {
    std::string line(verb);
    line += storage_kind_name(storage.kind);
    line += ": ";
    line += storage.device;
    line += " on ";
    line += storage.mount_point;
    line += " (";
    line += std::to_string(storage.free_bytes);
    line += "B/";
    line += std::to_string(storage.total_bytes);
    line += "B)";
    return line;
}

std::string camera_line(std::string_view prefix, const Uuid& camera_id) {
    std::string line(prefix);
    line += camera_id.to_string();
    line += ')';
    return line;
}

// One subscription that writes "<prefix><camera id>)" at the given level.
template <typename Event>
void subscribe_camera_line(EventDispatcher& dispatcher, const std::shared_ptr<Logger>& logger,
                           std::string_view prefix, LogLevel level) {
    dispatcher.subscribe<Event>([logger, prefix, level](const Event& event) {
        logger->log(camera_line(prefix, event.camera_id), level);
    });
}

}  // namespace

void subscribe_event_logger(EventDispatcher& dispatcher, std::shared_ptr<Logger> logger) {
    assert(logger != nullptr);

    dispatcher.subscribe<StorageMounted>([logger](const StorageMounted& event) {
        logger->info(storage_line("Mounted ", event.storage));
    });
    dispatcher.subscribe<StorageUnmounted>([logger](const StorageUnmounted& event) {
        logger->info(storage_line("Unmounted ", event.storage));
    });
    dispatcher.subscribe<SerialDeviceConnected>([logger](const SerialDeviceConnected& event) {
        logger->info("Connected serial device: " + event.device_path);
    });
    dispatcher.subscribe<SerialDeviceDisconnected>([logger](const SerialDeviceDisconnected& event) {
        logger->info("Disconnected serial device: " + event.device_path);
    });
    subscribe_camera_line<CameraWentOnline>(dispatcher, logger,
                                            "Camera went online (ID: ", LogLevel::info);
    subscribe_camera_line<CameraWentOffline>(dispatcher, logger,
                                             "Camera went offline (ID: ", LogLevel::info);
    subscribe_camera_line<CameraCredentialsInvalidated>(
        dispatcher, logger, "Camera credentials were invalidated (ID: ", LogLevel::info);
    subscribe_camera_line<CameraProvisioned>(dispatcher, logger,
                                             "Camera was provisioned (ID: ", LogLevel::info);
    subscribe_camera_line<CameraProvisioningFailed>(
        dispatcher, logger, "Camera provisioning has failed (ID: ", LogLevel::warning);
}

}  // namespace voxapp
