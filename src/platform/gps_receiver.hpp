#pragma once

#include <memory>

#include "core/result.hpp"
#include "platform/gps_record.hpp"

namespace voxapp {

// The router's GPS library: one call that fills the receiver's current record. A router build
// backs this with the vendor's lgps_get over its system bus connection; this build carries a
// simulated receiver (simulated_gps_receiver.hpp).
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

// Connects to the GPS receiver of this build. Error: "Failed to connect to ubus." when the
// system bus cannot be reached; the caller may then go on with an UnreachableGpsReceiver.
Result<std::shared_ptr<GpsReceiver>> connect_gps_receiver();

}  // namespace voxapp
