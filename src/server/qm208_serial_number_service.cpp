#include "server/qm208_serial_number_service.hpp"

#include <string>

#include "platform/uci_access.hpp"

namespace voxapp {

Result<std::uint32_t> Qm208SerialNumberService::get_qm208_serial_number() {
    auto device_name = uci_get_string("system.@system[0].devicename");
    if (!device_name) {
        return device_name.error();
    }
    return serial_number_of(*device_name);
}

Result<std::uint32_t> Qm208SerialNumberService::serial_number_of(const std::string& device_name) {
    const std::size_t underscore = device_name.find('_');
    if (underscore == std::string::npos) {
        return Error::fixed("Failed to find '_' in device name");
    }
    const std::string digits = device_name.substr(underscore + 1);
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return Error::fixed("Failed to parse serial number as uint32_t");
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        // A wrapped serial would name another unit on the server.
        if (value > UINT32_MAX) {
            return Error::fixed("Failed to parse serial number as uint32_t");
        }
    }
    if (digits.empty()) {
        return Error::fixed("Failed to parse serial number as uint32_t");
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace voxapp
