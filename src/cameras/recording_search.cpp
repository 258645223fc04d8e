#include "cameras/recording_search.hpp"

#include <algorithm>
#include <cstdint>

#include "cameras/camera_xml.hpp"
#include "core/time_point.hpp"

namespace voxapp {
namespace {

constexpr const char* kTimeFormat = "%Y-%m-%dT%H:%M:%SZ";
constexpr std::int64_t kMaxResults = 100;

}  // namespace

std::string recording_search_body(const TimeRange& range) {
    return "<CMSearchDescription><searchID>1</searchID><trackList><trackID>101</trackID>"
           "</trackList><timeSpanList><timeSpan><startTime>" +
           format_time_point(range.start(), kTimeFormat) + "</startTime><endTime>" +
           format_time_point(range.end(), kTimeFormat) +
           "</endTime></timeSpan></timeSpanList><maxResults>100</maxResults>"
           "<searchResultPosition>0</searchResultPosition></CMSearchDescription>";
}

Result<std::vector<RecordingSegment>> parse_recording_search(std::string_view reply) {
    const std::int64_t matches = xml_integer_value(reply, "numOfMatches");
    if (matches < 0) {
        return Error::fixed("Search reply without a valid numOfMatches");
    }
    std::vector<RecordingSegment> segments;
    if (matches == 0) {
        return segments;
    }
    // The count is the camera's word only: it sizes the list, never beyond one page.
    segments.reserve(static_cast<std::size_t>(std::min(matches, kMaxResults)));
    constexpr std::string_view kOpen = "<searchMatchItem>";
    constexpr std::string_view kClose = "</searchMatchItem>";
    std::size_t at = 0;
    while (true) {
        const std::size_t open = reply.find(kOpen, at);
        if (open == std::string_view::npos) {
            return segments;
        }
        const std::size_t close = reply.find(kClose, open + kOpen.size());
        if (close == std::string_view::npos) {
            return Error::fixed("Search reply with an unterminated searchMatchItem");
        }
        const std::string_view item =
            reply.substr(open + kOpen.size(), close - open - kOpen.size());
        const std::string_view start_text = xml_element_value(item, "startTime");
        const std::string_view end_text = xml_element_value(item, "endTime");
        const std::string_view uri = xml_element_value(item, "playbackURI");
        if (start_text.empty() || end_text.empty() || uri.empty()) {
            return Error::fixed("Search reply item without startTime, endTime or playbackURI");
        }
        const auto start = parse_time_point(start_text, kTimeFormat);
        const auto end = parse_time_point(end_text, kTimeFormat);
        if (!start || !end) {
            return Error::fixed("Search reply item with an unreadable time");
        }
        auto range = TimeRange::create(*start, *end);
        if (!range) {
            return range.error();
        }
        segments.push_back({*range, std::string(uri)});
        at = close + kClose.size();
    }
}

}  // namespace voxapp
