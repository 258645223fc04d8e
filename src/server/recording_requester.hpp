#pragma once

#include <cstdint>

#include "core/result.hpp"
#include "core/time_range.hpp"
#include "core/uuid.hpp"
#include "server/unit_identity.hpp"

namespace voxapp {

// Accepts a request to fetch a camera's recording of a time range and upload it to the FTP
// account of `client_id`.
class RecordingRequester {
public:
    virtual ~RecordingRequester() = default;
    virtual Status request_recording(const Uuid& camera, std::uint32_t client_id,
                                     const UnitIdentity& unit, const TimeRange& range) = 0;
};

}  // namespace voxapp
