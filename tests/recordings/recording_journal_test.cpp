// A journal that a power cut or a full flash left damaged must neither stop the daemon nor be
// half taken up: it is refused whole and set aside. (Round trips are the fuzzer's invariant and
// the restarts of the durability system test.)
#include <gtest/gtest.h>

#include <filesystem>

#include "recordings/recording_journal.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

TEST(RecordingJournalTest, ATornJournalIsSetAsideAndAMissingOneIsEmpty) {
    test::TempDir dir;
    const RecordingJournal journal(dir / "recordings.journal");
    auto empty = journal.load();
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->downloads.empty() && empty->uploads.empty());

    const TimeRange minute = *TimeRange::create(0, 60'000'000'000);
    const RecordingRequest request{*Uuid::parse("6f1c2a3b-0000-4000-8000-000000000001"),
                                   4321,
                                   minute,
                                   minute,
                                   "F.MP4",
                                   0,
                                   0,
                                   7};
    ASSERT_TRUE(journal.write(JournalContents{8, {request}, {}}));
    ASSERT_TRUE(journal.load());
    const std::string whole = test::read_file(journal.path());
    const std::string torn = whole.substr(0, whole.rfind("end "));
    test::write_file(journal.path(), torn);
    auto refused = journal.load();
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message().find("set aside as " + journal.path() + ".bad"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(journal.path()));
    EXPECT_EQ(test::read_file(journal.path() + ".bad"), torn);
}

}  // namespace
}  // namespace voxapp
