// The journal that carries accepted recordings across a restart: what is written reads back
// the same, and a damaged file is set aside instead of stopping the daemon or being half-read.
#include <gtest/gtest.h>

#include <filesystem>

#include "recordings/recording_journal.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr TimePoint kT0 = 1'767'261'600LL * kSecond;

JournalContents sample() {
    const TimeRange minute = *TimeRange::create(kT0, kT0 + 60 * kSecond);
    RecordingRequest waiting{*Uuid::parse("6f1c2a3b-0000-4000-8000-000000000001"),
                             4321,
                             minute,
                             minute,
                             "208-4321-20260101_11_00_00.MP4",
                             2,
                             kT0 + 5 * kSecond,
                             7,
                             *MacAddress::parse("02:00:00:11:22:33"),
                             "",
                             ""};
    RecordingRequest downloaded = waiting;
    downloaded.id = 8;
    downloaded.camera_mac.reset();
    // Names with blanks, '%' and bytes beyond ASCII survive the line format.
    downloaded.local_path = "/mnt/my stick/camera/a%b\xc3\xa9-8.MP4";
    downloaded.remote_name = "208-4321-20260101_11_00_00_VID42.MP4";
    return JournalContents{9, {waiting}, {UploadItem{downloaded, 3, kT0}}};
}

TEST(RecordingJournalTest, ReadsBackWhatWasWrittenAndSetsADamagedFileAside) {
    test::TempDir dir;
    const RecordingJournal journal(dir / "recordings.journal");
    // No journal yet: nothing to take up.
    auto empty = journal.load();
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->downloads.empty() && empty->uploads.empty());

    const JournalContents written = sample();
    ASSERT_TRUE(journal.write(written));
    EXPECT_FALSE(std::filesystem::exists(dir / "recordings.journal.new"));
    auto read = journal.load();
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(format_recording_journal(*read), format_recording_journal(written));
    ASSERT_EQ(read->uploads.size(), 1u);
    EXPECT_EQ(read->uploads[0].request.local_path, written.uploads[0].request.local_path);
    EXPECT_EQ(read->next_id, 9u);

    const std::string whole = format_recording_journal(written);
    const struct {
        const char* what;
        std::string text;
    } damaged[] = {
        {"cut short", whole.substr(0, whole.size() / 2)},
        {"cut at a line's end", whole.substr(0, whole.find("\nU ") + 1)},
        {"a byte changed",
         [&] {
             std::string text = whole;
             text[whole.find("4321")] = '5';
             return text;
         }()},
        {"garbage", "\x01\x02 not a journal\n"},
    };
    for (const auto& c : damaged) {
        test::write_file(journal.path(), c.text);
        auto refused = journal.load();
        ASSERT_FALSE(refused) << c.what;
        EXPECT_NE(refused.error().message().find("set aside as " + journal.path() + ".bad"),
                  std::string::npos)
            << c.what;
        EXPECT_FALSE(std::filesystem::exists(journal.path())) << c.what;
        EXPECT_EQ(test::read_file(journal.path() + ".bad"), c.text) << c.what;
    }
}

}  // namespace
}  // namespace voxapp
