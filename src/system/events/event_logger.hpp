#pragma once

#include <memory>

#include "system/events/event_dispatcher.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Subscribes the event logger: one line per event for storage mounts and unmounts, serial devices
// coming and going and camera state changes. The subscriptions are made in this order, one per
// event type: StorageMounted, StorageUnmounted, SerialDeviceConnected, SerialDeviceDisconnected,
// CameraWentOnline, CameraWentOffline, CameraCredentialsInvalidated, CameraProvisioned,
// CameraProvisioningFailed. Handlers subscribed to those types earlier run before the line is
// written, later ones after it.
//
// Lines are written on the publishing thread, at INFO except for a failed provisioning (WARNING).
// The handlers keep the logger alive; `logger` must not be null.
void subscribe_event_logger(EventDispatcher& dispatcher, std::shared_ptr<Logger> logger);

}  // namespace voxapp
