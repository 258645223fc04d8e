#pragma once

#include "app/composition_root.hpp"
#include "platform/ubus_service.hpp"
#include "server/device_link.hpp"
#include "system/io/event_loop.hpp"

namespace voxapp {

// One wiring unit per subsystem. The services themselves are the composition root's accessors,
// defined in the unit's own source file; the functions below add what each subsystem needs from
// the dispatcher and the event loop. The composition root calls them in a fixed order:
// subscriptions first (handlers of one event run in subscription order), then the loop's
// registrations. A registration that fails leaves that watcher silent; the daemon runs on.

// Platform (platform_wiring.cpp): a mounted USB storage first takes the log file.
void subscribe_log_file_to_storage(CompositionRoot& root);
// The mount table and the system time zone watchers.
void register_platform(CompositionRoot& root, EventLoop& loop);

// Server links and the router unit (server_wiring.cpp): what every device link is made with.
DeviceLink::Factories make_link_factories(CompositionRoot& root);

// Instruments (instrument_wiring.cpp): plugged and unplugged ttys, the count of instruments.
void subscribe_instruments(CompositionRoot& root);
// The kernel's uevents.
void register_instruments(CompositionRoot& root, EventLoop& loop);

// Cameras (camera_wiring.cpp): discovery, credentials, verification, provisioning, time zone.
void subscribe_cameras(CompositionRoot& root);
// Discovery's socket and the health timers.
void register_cameras(CompositionRoot& root, EventLoop& loop);

// The system bus (bus_wiring.cpp): the connection, null in a build without libubus (said once).
std::shared_ptr<UbusService> bus_service(CompositionRoot& root);
// Bus events for instruments, cameras and recordings.
void subscribe_bus_events(CompositionRoot& root);
// The "voxapp" object with its "status" method; the connection starts on the loop's first pass.
void register_bus(CompositionRoot& root, EventLoop& loop);

// Recordings (recording_wiring.cpp): a storage coming or going.
void subscribe_recordings(CompositionRoot& root);
// The transfer service's tick.
void register_recordings(CompositionRoot& root, EventLoop& loop);

}  // namespace voxapp
