#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "core/mac_address.hpp"
#include "core/time_point.hpp"
#include "core/time_range.hpp"
#include "core/uuid.hpp"

namespace voxapp {

// One recording waiting to be downloaded.
struct RecordingRequest {
    Uuid camera_id;
    std::uint32_t client_id = 0;
    TimeRange wanted;     // grows when requests are merged
    TimeRange requested;  // as received; never changes
    std::string file_name;
    int attempts = 0;
    TimePoint next_attempt = 0;
    std::uint64_t id = 0;  // unique per accepted request; names its local file
    std::optional<MacAddress> camera_mac{};
    std::string local_path{};   // set when its download starts
    std::string remote_name{};  // set when its download completes, with its video id
};

// Merges `later` into `earlier` (earlier by wanted start) when both are for the same camera
// and client, their wanted ranges overlap enough for the later one's length (80 % up to 60 s,
// 50 % up to 600 s, 60 s beyond), and their union stays within the earlier one's requested
// range widened by 10 % (at least 15 s) on each side. The merged request is the earlier one
// with the union as wanted range, tried no sooner than either of the two and than now + 10 s.
std::optional<RecordingRequest> merge_requests(const RecordingRequest& earlier,
                                               const RecordingRequest& later, TimePoint now);

// Appends `request`, sorts the queue by wanted start and merges neighbours from the front.
void insert_request(std::deque<RecordingRequest>& queue, RecordingRequest request, TimePoint now);

}  // namespace voxapp
