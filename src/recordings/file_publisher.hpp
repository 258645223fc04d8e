#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/result.hpp"

namespace voxapp {

// The failure of an upload for a client whose FTP account is not known (yet).
inline constexpr const char* kNoClientCredentials = "Failed to get client credentials";

// Uploads one local file to a client's FTP area under a remote name, one upload at a time.
class FilePublisher {
public:
    // Success, or why the upload failed.
    using Completion = std::function<void(Status)>;

    virtual ~FilePublisher() = default;
    // Starts an upload; the completion is called exactly once on the event loop's thread,
    // possibly before publish returns when the upload cannot start.
    virtual void publish(std::uint32_t client_id, const std::string& local_path,
                         const std::string& remote_name, Completion completion) = 0;
    // From the start of publish until its completion has been called.
    virtual bool is_busy() const = 0;
};

}  // namespace voxapp
