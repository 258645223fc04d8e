#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/result.hpp"
#include "system/events/event_dispatcher.hpp"

namespace voxapp {

// The persisted number of distinct instruments seen, in "<application directory>/numberOfDevices"
// (one unsigned decimal number, no line end). The file is provisioned with the router and never
// created here: while it is missing every operation fails with the errno of the open (ENOENT).
// Thread-safe; each operation holds the store's lock throughout, including while it publishes.
class DeviceCountStore {
public:
    DeviceCountStore(std::string path, std::shared_ptr<EventDispatcher> dispatcher)
        : path_(std::move(path)), dispatcher_(std::move(dispatcher)) {}

    // A file without a number reads as 0.
    Result<std::uint32_t> get();
    // Writes and publishes DeviceCountChanged (low 8 bits) only when the value changes.
    Status set(std::uint32_t count);
    Status increment();

    const std::string& path() const { return path_; }

private:
    Result<std::uint32_t> read_locked() const;
    Status write_locked(std::uint32_t count);

    const std::string path_;
    std::shared_ptr<EventDispatcher> dispatcher_;
    std::mutex mutex_;
};

}  // namespace voxapp
