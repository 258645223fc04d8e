#pragma once

#include <memory>

#include "core/result.hpp"
#include "platform/gps_record.hpp"
#include "platform/ubus_connection.hpp"

namespace voxapp {

// The router's GPS library: one call that fills the receiver's current record.
//
// Threads: get may be called from any thread, but not concurrently; GpsSource serialises it.
class GpsReceiver {
public:
    virtual ~GpsReceiver() = default;

    // The lgps_get contract: kGpsResultOk with `record` filled, kGpsResultBusError when the bus
    // cannot be reached, kGpsResultLibraryError when the library fails. Any other value counts
    // as success. On failure `record` is unspecified.
    virtual int get(GpsRecordBytes& record) = 0;
};

// A receiver whose bus connection failed: every get answers kGpsResultBusError.
class UnreachableGpsReceiver final : public GpsReceiver {
public:
    int get(GpsRecordBytes& /*record*/) override { return kGpsResultBusError; }
};

// The GPS library's lgps_get over `bus`, which it shares. A null `bus` (ubus was unreachable)
// answers kGpsResultBusError without calling the library. A build without libubus has no GPS
// library: the receiver is then always unreachable.
std::shared_ptr<GpsReceiver> make_gps_receiver(UbusContextHandle bus);

// connect_ubus, then make_gps_receiver over it. Error: "Failed to connect to ubus." when the
// bus cannot be reached; the caller may then go on with make_gps_receiver(nullptr).
Result<std::shared_ptr<GpsReceiver>> connect_gps_receiver();

}  // namespace voxapp
