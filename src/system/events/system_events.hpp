#pragma once

#include <cstdint>
#include <string>

#include "core/mounted_storage.hpp"

namespace voxapp {

// A USB serial port appeared: its tty name (e.g. "ttyUSB0") and its sysfs device path.
struct SerialDeviceConnected {
    std::string device_name;
    std::string device_path;
};

// A USB serial port went away; same fields as when it appeared.
struct SerialDeviceDisconnected {
    std::string device_name;
    std::string device_path;
};

// A disk partition appeared (e.g. "sda1").
struct PartitionAdded {
    std::string device_name;
};

// A disk partition went away.
struct PartitionRemoved {
    std::string device_name;
};

// A file system appeared in the mount table.
struct StorageMounted {
    MountedStorage storage;
};

// A file system left the mount table; the record is the one last seen while it was mounted.
struct StorageUnmounted {
    MountedStorage storage;
};

// The persisted count of attached instruments changed; the low 8 bits of the new count.
struct DeviceCountChanged {
    std::uint8_t count = 0;
};

// The system time zone changed; the new IANA zone name.
struct TimeZoneChanged {
    std::string time_zone;
};

}  // namespace voxapp
