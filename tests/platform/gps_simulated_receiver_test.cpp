#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "platform/simulated_gps_receiver.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

using test::TempDir;
using test::write_file;
using test::write_file_with_parents;

class SimulatedGpsReceiverTest : public ::testing::Test {
protected:
    int get(GpsRecord& record) {
        GpsRecordBytes bytes{};
        const int result = receiver_.get(bytes);
        record = decode_gps_record(bytes);
        return result;
    }

    TempDir dir_;
    std::string path_ = dir_ / "fix";
    TimePoint now_ = 1'709'647'629'750'000'000;
    SimulatedGpsReceiver receiver_{path_, [this] { return now_; }};
};

TEST_F(SimulatedGpsReceiverTest, ReadsEveryFieldFromTheFile) {
    write_file(path_,
               "# a fix in the Alps\n"
               "latitude=46.056946\n"
               " longitude = -14.505751 \r\n"
               "\n"
               "altitude=-5.5\n"
               "course=270\n"
               "speed=1.25\n"
               "accuracy=3.5\n"
               "satellites=9\n"
               "fix_type=2\n"
               "timestamp=1709647600\n");
    GpsRecord record;
    EXPECT_EQ(get(record), kGpsResultOk);
    EXPECT_EQ(record,
              (GpsRecord{-14.505751, 46.056946, -5.5, 270.0, 1.25, 3.5, 9, 2, 1'709'647'600}));
}

TEST_F(SimulatedGpsReceiverTest, TimestampNowFollowsTheClockSecondBySecond) {
    write_file(path_, "latitude=1\ntimestamp=now\n");
    GpsRecord record;
    ASSERT_EQ(get(record), kGpsResultOk);
    EXPECT_EQ(record.timestamp, 1'709'647'629);
    now_ += 300'000'000;
    ASSERT_EQ(get(record), kGpsResultOk);
    EXPECT_EQ(record.timestamp, 1'709'647'630);
    EXPECT_EQ(record.latitude, 1.0);
    EXPECT_EQ(record.longitude, 0.0);  // absent keys read as 0
}

TEST_F(SimulatedGpsReceiverTest, FileProblemsLookLikeLibraryResults) {
    GpsRecord record;
    EXPECT_EQ(get(record), kGpsResultBusError);  // no file: as if the bus were down

    for (const char* bad : {"latitude=north\n", "latitude=1.5x\n", "height=3\n", "latitude\n",
                            "satellites=2.5\n", "timestamp=soon\n"}) {
        write_file(path_, bad);
        EXPECT_EQ(get(record), kGpsResultLibraryError) << bad;
    }
    write_file(path_, "latitude=1\nresult=2\ntimestamp=now\n");
    EXPECT_EQ(get(record), kGpsResultLibraryError);
    write_file(path_, "result=1\n");
    EXPECT_EQ(get(record), kGpsResultBusError);
}

TEST_F(SimulatedGpsReceiverTest, OnlyASmallRegularFileIsRead) {
    GpsRecord record;
    // Comments alone are a valid file; past the size bound it is refused all the same.
    write_file(path_, std::string(SimulatedGpsReceiver::kMaxFixFileBytes, '#') + "\n");
    EXPECT_EQ(get(record), kGpsResultLibraryError);
    write_file(path_, "# small\nlatitude=1\n");
    EXPECT_EQ(get(record), kGpsResultOk);

    // A FIFO with a writer that never writes must not block the caller.
    ::unlink(path_.c_str());
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    const int writer = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    auto done = std::make_shared<std::promise<int>>();
    std::thread([this, done] {
        GpsRecordBytes bytes{};
        done->set_value(receiver_.get(bytes));
    }).detach();
    auto result = done->get_future();
    const bool answered = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    ::close(writer);  // lets a blocked read see the end of the file
    ASSERT_TRUE(answered) << "reading a FIFO blocked";
    EXPECT_EQ(result.get(), kGpsResultLibraryError);
}

TEST(GpsReceiverConnectionTest, TheDefaultReceiverReadsTheFixFileBelowTheRoot) {
    TempDir root;
    ASSERT_EQ(setenv("VOXAPP_ROOT", root.path().c_str(), 1), 0);
    auto connection = connect_gps_receiver();
    unsetenv("VOXAPP_ROOT");
    ASSERT_TRUE(connection.ok());

    GpsRecordBytes bytes{};
    EXPECT_EQ((*connection)->get(bytes), kGpsResultBusError);
    write_file_with_parents(root / "tmp/voxapp-gps-fix", "satellites=4\ntimestamp=12\n");
    EXPECT_EQ((*connection)->get(bytes), kGpsResultOk);
    EXPECT_EQ(decode_gps_record(bytes).satellites, 4);

    UnreachableGpsReceiver unreachable;
    EXPECT_EQ(unreachable.get(bytes), kGpsResultBusError);
}

}  // namespace
}  // namespace voxapp
