#pragma once

#include <cstdint>

namespace voxapp {

// Which unit asked for something: its device class and serial number (they name its files).
struct UnitIdentity {
    std::uint8_t device_class = 0;
    std::uint32_t serial_number = 0;

    bool operator==(const UnitIdentity&) const = default;
};

}  // namespace voxapp
