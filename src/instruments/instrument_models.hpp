#pragma once

#include <array>
#include <cstdint>

namespace voxapp {

// The unit types (from the hello reply) of the instrument models this router knows, indexed by
// device class: index 0 is the basic instrument, 1 to 10 the models. These are deployment values,
// fixed with the server's operators; any other unit type is served as device class 12.
inline constexpr std::array<std::uint32_t, 11> kInstrumentModelCodes = {
    100,  // 0: basic instrument (GPS tracker, secondary server)
    101,  // 1: secondary server
    102, 103, 104, 105, 106, 107, 108, 109,
    110,  // 10: answers "SN" itself, the router answers "SV"
};

// Device class of an instrument reporting unit type `unit_type`.
inline constexpr std::uint8_t kOtherInstrumentDeviceClass = 12;
inline constexpr std::uint8_t instrument_device_class(std::uint32_t unit_type) {
    for (std::uint8_t index = 0; index < kInstrumentModelCodes.size(); ++index) {
        if (kInstrumentModelCodes[index] == unit_type) {
            return index;
        }
    }
    return kOtherInstrumentDeviceClass;
}

}  // namespace voxapp
