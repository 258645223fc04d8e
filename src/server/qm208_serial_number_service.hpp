#pragma once

#include <cstdint>

#include "core/result.hpp"

namespace voxapp {

// The router unit's serial number: the digits after the first '_' of the router's device name
// (UCI "system.@system[0].devicename"), as in "router_00123" → 123.
class Qm208SerialNumberService {
public:
    // Errors: the UCI error, "Failed to find '_' in device name", or "Failed to parse serial
    // number as uint32_t" (no digits, anything after them, or too large for 32 bits).
    static Result<std::uint32_t> get_qm208_serial_number();
    // The same rule on a device name.
    static Result<std::uint32_t> serial_number_of(const std::string& device_name);
};

}  // namespace voxapp
