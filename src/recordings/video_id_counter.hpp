#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace voxapp {

// The persisted counter of video ids: a decimal number in one file ("/root/app/lastVideoId"),
// holding the next id to hand out. Threads: any; calls are serialised.
class VideoIdCounter {
public:
    // Reads the file; a missing, unreadable, malformed or zero value starts over at 1, which
    // is written back at once.
    explicit VideoIdCounter(std::string path);

    // The current id; the file holds the following one before the id is returned, so an id is
    // never handed out twice across restarts (a failed write is not an error: the id still
    // counts up in memory).
    std::uint64_t take();

private:
    void store(std::uint64_t value) const;

    std::mutex mutex_;
    std::string path_;
    std::uint64_t next_ = 1;
};

}  // namespace voxapp
