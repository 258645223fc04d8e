#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cameras/recording_segment.hpp"
#include "core/result.hpp"
#include "core/time_range.hpp"

namespace voxapp {

// The content search of track 101 over `range`: the first page of at most 100 matches.
std::string recording_search_body(const TimeRange& range);

// The segments of a search reply, in the reply's order. "numOfMatches" must be a number of 0 or
// more (0 means no segments, whatever follows); every "searchMatchItem" needs a startTime and an
// endTime ("%Y-%m-%dT%H:%M:%SZ", UTC, end not before start) and a playbackURI, else the whole
// reply is refused with an error naming what was wrong.
Result<std::vector<RecordingSegment>> parse_recording_search(std::string_view reply);

}  // namespace voxapp
