#include "recordings/download_queue.hpp"

#include <algorithm>

namespace voxapp {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

}  // namespace

std::optional<RecordingRequest> merge_requests(const RecordingRequest& earlier,
                                               const RecordingRequest& later, TimePoint now) {
    // A recording downloaded again keeps the remote name it was given: it merges with nothing.
    if (!(earlier.camera_id == later.camera_id) || earlier.client_id != later.client_id ||
        !earlier.remote_name.empty() || !later.remote_name.empty()) {
        return std::nullopt;
    }
    const std::optional<TimeRange> common = earlier.wanted.intersection(later.wanted);
    if (!common) {
        return std::nullopt;
    }
    const std::int64_t t = later.wanted.duration_seconds();
    const std::int64_t u = common->duration_seconds();
    const std::int64_t needed = t <= 60 ? t * 8 / 10 : (t <= 600 ? t / 2 : 60);
    if (u < needed) {
        return std::nullopt;
    }
    const TimeRange merged = earlier.wanted.span(later.wanted);
    const std::int64_t pad =
        std::max<std::int64_t>(15, earlier.requested.duration_seconds() / 10) * kSecond;
    if (merged.start() < earlier.requested.start() - pad ||
        merged.end() > earlier.requested.end() + pad) {
        return std::nullopt;
    }
    RecordingRequest result = earlier;
    result.wanted = merged;
    result.next_attempt = std::max({earlier.next_attempt, later.next_attempt, now + 10 * kSecond});
    return result;
}

void insert_request(std::deque<RecordingRequest>& queue, RecordingRequest request, TimePoint now) {
    queue.push_back(std::move(request));
    std::stable_sort(queue.begin(), queue.end(),
                     [](const RecordingRequest& a, const RecordingRequest& b) {
                         return a.wanted.start() < b.wanted.start();
                     });
    std::size_t i = 0;
    while (i + 1 < queue.size()) {
        if (auto merged = merge_requests(queue[i], queue[i + 1], now)) {
            queue[i] = std::move(*merged);
            queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        } else {
            ++i;
        }
    }
}

}  // namespace voxapp
