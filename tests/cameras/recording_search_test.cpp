#include "cameras/recording_search.hpp"

#include <gtest/gtest.h>

namespace voxapp {
namespace {

constexpr TimePoint kSecond = 1'000'000'000;

std::string item(const std::string& start, const std::string& end, const std::string& uri) {
    return "<searchMatchItem><timeSpan><startTime>" + start + "</startTime><endTime>" + end +
           "</endTime></timeSpan><mediaSegmentDescriptor><playbackURI>" + uri +
           "</playbackURI></mediaSegmentDescriptor></searchMatchItem>";
}

std::string reply(const std::string& matches, const std::string& items) {
    return "<CMSearchResult><numOfMatches>" + matches + "</numOfMatches><matchList>" + items +
           "</matchList></CMSearchResult>";
}

const std::string kFirst =
    item("2024-01-01T00:00:00Z", "2024-01-01T00:10:00Z", "rtsp://10.0.0.5/a");
const std::string kSecondItem =
    item("2024-01-01T00:10:00Z", "2024-01-01T00:20:00Z", "rtsp://10.0.0.5/b");

TEST(RecordingSearchTest, AsksForTrack101OverTheRangeInUtc) {
    const TimeRange range = *TimeRange::create(1704067200 * kSecond, 1704067260 * kSecond);
    EXPECT_EQ(recording_search_body(range),
              "<CMSearchDescription><searchID>1</searchID><trackList><trackID>101</trackID>"
              "</trackList><timeSpanList><timeSpan><startTime>2024-01-01T00:00:00Z</startTime>"
              "<endTime>2024-01-01T00:01:00Z</endTime></timeSpan></timeSpanList><maxResults>100"
              "</maxResults><searchResultPosition>0</searchResultPosition></CMSearchDescription>");
}

TEST(RecordingSearchTest, ZeroMatchesGiveNoSegmentsEvenWithItems) {
    auto segments = parse_recording_search(reply("0", kFirst));
    ASSERT_TRUE(segments.ok());
    EXPECT_TRUE(segments->empty());
}

TEST(RecordingSearchTest, EveryItemCountsWhateverTheMatchCountSays) {
    auto segments = parse_recording_search(reply("2", kFirst + kSecondItem + kFirst));
    ASSERT_TRUE(segments.ok()) << segments.error().message();
    ASSERT_EQ(segments->size(), 3u);
    EXPECT_EQ((*segments)[0].range.start(), 1704067200 * kSecond);
    EXPECT_EQ((*segments)[0].range.end(), 1704067800 * kSecond);
    EXPECT_EQ((*segments)[1].playback_uri, "rtsp://10.0.0.5/b");
    EXPECT_EQ((*segments)[2].playback_uri, "rtsp://10.0.0.5/a");
    // A hostile count sizes nothing beyond one page.
    EXPECT_EQ(parse_recording_search(reply("2147483647", kFirst))->size(), 1u);
}

TEST(RecordingSearchTest, OneBadItemOrABadCountFailsTheWholeSearch) {
    const std::string backward =
        item("2024-01-01T00:20:00Z", "2024-01-01T00:10:00Z", "rtsp://10.0.0.5/c");
    EXPECT_FALSE(parse_recording_search(reply("2", kFirst + backward)).ok());
    EXPECT_FALSE(parse_recording_search(reply("1", item("yesterday", "today", "rtsp://x"))).ok());
    EXPECT_FALSE(
        parse_recording_search(reply("1", item("2024-01-01T00:00:00Z", "2024-01-01T00:10:00Z", "")))
            .ok());
    EXPECT_FALSE(parse_recording_search(reply("1", "<searchMatchItem><startTime>")).ok());
    EXPECT_FALSE(parse_recording_search(reply("-1", "")).ok());
    EXPECT_FALSE(parse_recording_search(reply("many", "")).ok());
    EXPECT_FALSE(parse_recording_search("<CMSearchResult/>").ok());
    EXPECT_TRUE(parse_recording_search(reply("3", ""))->empty());
}

}  // namespace
}  // namespace voxapp
