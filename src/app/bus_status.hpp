#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cameras/camera_repository.hpp"
#include "core/settings.hpp"
#include "core/time_point.hpp"
#include "instruments/device_manager.hpp"
#include "platform/bus_message_writer.hpp"
#include "platform/gps_source.hpp"
#include "recordings/transfer_recording_service.hpp"

namespace voxapp {

// What the bus object's "status" reply is read from. Any service may be null (a build or a test
// without it); its part of the reply is then left out.
struct BusStatusSources {
    const Settings* settings = nullptr;
    TimePoint started_at = 0;               // wall clock
    std::int64_t started_monotonic_ns = 0;  // steady clock, for the uptime
    std::function<std::string()> device_name;
    std::shared_ptr<DeviceManager> devices;
    std::shared_ptr<CameraQuery> cameras;
    std::shared_ptr<TransferRecordingService> recordings;
    std::shared_ptr<GpsSource> gps;
};

// Writes the reply: tables "daemon", "storage", "gps" and "recordings", arrays "links",
// "instruments" and "cameras" (fields in the README). Times are UTC "%Y-%m-%d %H:%M:%S", empty
// when there is none. Never a password or a credential. Main loop thread.
void write_bus_status(BusMessageWriter& out, const BusStatusSources& sources, TimePoint now,
                      std::int64_t monotonic_now_ns);

// The name of a camera status in replies and events: "discovered", "online", "offline",
// "invalid_credentials".
const char* camera_status_name(CameraStatus status);

}  // namespace voxapp
