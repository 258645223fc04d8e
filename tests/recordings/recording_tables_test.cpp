// The tables of the recording transfer that a whole-daemon run would not tell apart: request
// merging, the name forms, the size answer of the FTP server, the video id file.
#include <gtest/gtest.h>

#include "recordings/content_length.hpp"
#include "recordings/download_queue.hpp"
#include "recordings/recording_names.hpp"
#include "recordings/video_id_counter.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr TimePoint kT0 = 1'767'261'600LL * kSecond;  // 2026-01-01 10:00:00 UTC

TimeRange range(std::int64_t from_s, std::int64_t to_s) {
    return *TimeRange::create(kT0 + from_s * kSecond, kT0 + to_s * kSecond);
}

RecordingRequest request(std::int64_t from_s, std::int64_t to_s, std::uint32_t client = 1,
                         const char* camera = "00000000-0000-0000-0000-000000000001") {
    return RecordingRequest{*Uuid::parse(camera),
                            client,
                            range(from_s, to_s),
                            range(from_s, to_s),
                            "F" + std::to_string(from_s) + ".MP4",
                            0,
                            kT0};
}

TEST(DownloadQueueTest, MergesOnlyCloseRequestsOfOneCameraAndClient) {
    struct Case {
        const char* what;
        RecordingRequest earlier;
        RecordingRequest later;
        bool merges;
    };
    const Case cases[] = {
        {"short, 80 % overlap", request(0, 50), request(10, 60), true},
        {"short, below 80 %", request(0, 50), request(11, 61), false},
        {"medium, 50 % of 200 s", request(0, 200), request(100, 300), false},  // union too wide
        {"medium within the pad", request(0, 600), request(300, 660), true},
        {"long, 60 s overlap suffices", request(0, 6000), request(5940, 6600), true},
        {"long, 59 s", request(0, 6000), request(5941, 6601), false},
        {"union up to the 10 % pad", request(0, 1000), request(600, 1100), true},
        {"union beyond the 10 % pad", request(0, 1000), request(600, 1101), false},
        {"other client", request(0, 50), request(10, 60, 2), false},
        {"other camera", request(0, 50), request(10, 60, 1, "00000000-0000-0000-0000-000000000002"),
         false},
        {"touching only", request(0, 50), request(50, 60), false},
    };
    for (const Case& c : cases) {
        const auto merged = merge_requests(c.earlier, c.later, kT0);
        EXPECT_EQ(merged.has_value(), c.merges) << c.what;
        if (merged) {
            EXPECT_EQ(merged->wanted, c.earlier.wanted.span(c.later.wanted)) << c.what;
            EXPECT_EQ(merged->requested, c.earlier.requested) << c.what;
            EXPECT_EQ(merged->file_name, c.earlier.file_name) << c.what;
            EXPECT_EQ(merged->next_attempt, kT0 + 10 * kSecond) << c.what;
        }
    }
}

TEST(DownloadQueueTest, InsertionSortsAndMergesChains) {
    std::deque<RecordingRequest> queue;
    insert_request(queue, request(1000, 1050), kT0);
    insert_request(queue, request(0, 50), kT0);
    insert_request(queue, request(5, 55), kT0);  // merges with the first by start
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue[0].wanted, range(0, 55));
    EXPECT_EQ(queue[0].file_name, "F0.MP4");
    EXPECT_EQ(queue[1].wanted, range(1000, 1050));
}

TEST(RecordingNamesTest, FileNamesAndVideoIds) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(recording_file_name(UnitIdentity{11, 4321}, kT0), "208-4321-20260101_10_00_00.MP4");
    EXPECT_EQ(recording_file_name(UnitIdentity{1, 7}, kT0), "101-7-20260101_10_00_00.MP4");
    EXPECT_EQ(recording_file_name(UnitIdentity{12, 7}, kT0), "-7-20260101_10_00_00.MP4");
    EXPECT_EQ(remote_file_name("F.MP4", 42), "F_VID42.MP4");
    EXPECT_EQ(video_id_text(99999), "VID99999");
    EXPECT_EQ(video_id_text(123456), "VI123456");
    EXPECT_EQ(video_id_text(1234567), "V1234567");
    EXPECT_EQ(video_id_text(12345678), "12345678");
}

TEST(ContentLengthTest, ReadsTheFirstContentLengthLine) {
    EXPECT_EQ(parse_content_length("Last-Modified: x\r\nContent-Length: 300000\r\n"), 300000u);
    EXPECT_EQ(parse_content_length("Content-Length:\t 12abc\nContent-Length: 99\n"), 12u);
    EXPECT_EQ(parse_content_length("Content-Length: 18446744073709551615\n"),
              18446744073709551615ULL);
    EXPECT_EQ(parse_content_length("Content-Length: 18446744073709551616\n"), 0u);
    EXPECT_EQ(parse_content_length("Content-Length: -5\n"), 0u);
    EXPECT_EQ(parse_content_length("Accept-ranges: bytes\n"), 0u);
    EXPECT_EQ(parse_content_length(""), 0u);
}

TEST(VideoIdCounterTest, CountsAcrossRestartsAndStartsOverOnBadFiles) {
    test::TempDir dir;
    const std::string path = dir / "lastVideoId";
    {
        VideoIdCounter counter(path);  // missing: starts at 1
        EXPECT_EQ(test::read_file(path), "1\n");
        EXPECT_EQ(counter.take(), 1u);
        EXPECT_EQ(counter.take(), 2u);
    }
    EXPECT_EQ(VideoIdCounter(path).take(), 3u);
    test::write_file(path, "0\n");
    EXPECT_EQ(VideoIdCounter(path).take(), 1u);
    test::write_file(path, "junk");
    EXPECT_EQ(VideoIdCounter(path).take(), 1u);
}

}  // namespace
}  // namespace voxapp
