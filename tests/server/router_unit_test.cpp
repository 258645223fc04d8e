#include "server/router_unit.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "core/md5_digest.hpp"
#include "platform/gps_record.hpp"
#include "server/qm208_serial_number_service.hpp"
#include "support/recording_logger.hpp"

namespace voxapp {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

// A receiver whose timestamp moves on with every read, so each fix is fresh.
class MovingGpsReceiver : public GpsReceiver {
public:
    int get(GpsRecordBytes& bytes) override {
        if (result != kGpsResultOk) {
            return result;
        }
        GpsRecord moved = record;
        moved.timestamp = record.timestamp + reads++;
        bytes = encode_gps_record(moved);
        return kGpsResultOk;
    }
    GpsRecord record;
    int result = kGpsResultOk;
    std::int64_t reads = 0;
};

class FakeStorageLister : public StorageLister {
public:
    Result<MountedStorage> get_by_id(std::string_view) const override {
        return Error::fixed("Mounted storage with given ID not found");
    }
    Result<std::vector<MountedStorage>> list_all() const override { return storages; }
    Result<std::vector<MountedStorage>> list_by_kind(StorageKind kind) const override {
        std::vector<MountedStorage> matching;
        for (const auto& storage : storages) {
            if (storage.kind == kind) {
                matching.push_back(storage);
            }
        }
        return matching;
    }
    std::vector<MountedStorage> storages;
};

class FakeTimeZoneBackend : public TimeZoneBackend {
public:
    Result<std::string> posix_time_zone(std::string_view name) const override {
        if (name == "Europe/Berlin" || name == "Europe/Riga") {
            return std::string("CET-1");
        }
        return Error::owned("Unknown IANA timezone: " + std::string(name));
    }
    Status set_time_zone(std::string_view name) override {
        auto posix = posix_time_zone(name);
        if (!posix) {
            return posix.error();
        }
        zone = name;
        return {};
    }
    Result<std::string> current_time_zone() override { return zone; }
    std::string zone = "Europe/Berlin";
};

class FakeCameras : public CameraDirectory {
public:
    Result<bool> has_discovered_or_online_camera() const override { return usable; }
    Result<std::optional<Uuid>> first_online_camera() const override { return online; }
    bool usable = false;
    std::optional<Uuid> online;
};

class FakeRecordings : public RecordingRequester {
public:
    Status request_recording(const Uuid& camera, std::uint32_t client_id, const UnitIdentity& unit,
                             const TimeRange& range) override {
        requests.push_back({camera, client_id, unit, range});
        if (fail) {
            return Error::fixed("queue full");
        }
        return {};
    }
    struct Request {
        Uuid camera;
        std::uint32_t client_id;
        UnitIdentity unit;
        TimeRange range;
    };
    std::vector<Request> requests;
    bool fail = false;
};

constexpr std::uint32_t kSerial = 1234;

class RouterUnitTest : public ::testing::Test {
protected:
    RouterUnitTest() {
        // The construction read sees :08, the first fix :09.
        receiver_->record = {20.25, 10.5, 212.34, 0, 1.5, 3.7, 5, 2, 1'709'647'628};
        auto dispatcher = std::shared_ptr<EventDispatcher>(std::move(*EventDispatcher::create()));
        clients_ = *ClientService::create(dispatcher, *InMemoryClientStore::create());
        std::shared_ptr<TimeZoneService> time_zone(
            std::move(*TimeZoneService::create(backend_, dispatcher)));
        VersionInfo version{1, 4, 0, "t", "main", "abcdef0"};
        auto requests = std::make_shared<UnitRequestHandler>(kSerial, version, clients_, cameras_,
                                                             recordings_, logger_);
        unit_ = std::make_unique<RouterUnit>(
            kSerial, version, logger_,
            RouterUnit::Services{*GpsSource::create(receiver_), storage_, time_zone, requests});
    }

    // Queues `text`, processes it and returns the reply (or "<no reply>").
    std::string ask(const std::string& text) {
        std::string reply = "<no reply>";
        unit_->enqueue_command(text, [&](const std::string& answer) { reply = answer; }, {});
        last_status_ = unit_->process();
        return reply;
    }

    std::shared_ptr<test::RecordingLogger> logger_ = std::make_shared<test::RecordingLogger>();
    std::shared_ptr<MovingGpsReceiver> receiver_ = std::make_shared<MovingGpsReceiver>();
    std::shared_ptr<FakeStorageLister> storage_ = std::make_shared<FakeStorageLister>();
    std::shared_ptr<FakeTimeZoneBackend> backend_ = std::make_shared<FakeTimeZoneBackend>();
    std::shared_ptr<FakeCameras> cameras_ = std::make_shared<FakeCameras>();
    std::shared_ptr<FakeRecordings> recordings_ = std::make_shared<FakeRecordings>();
    std::shared_ptr<ClientService> clients_;
    std::unique_ptr<RouterUnit> unit_;
    Status last_status_;
};

TEST_F(RouterUnitTest, IdentityReplies) {
    EXPECT_EQ(ask(";#1,U?,N?;"), "#1,U208,N1234;");
    EXPECT_EQ(ask("#1,W?;"), "#1,W1.04.0;");
    EXPECT_EQ(ask("#1,X?;"), "#1;");
    EXPECT_TRUE(logger_->contains("Unknown parameter in #1 command: X?"));
    EXPECT_EQ(ask("#1;"), "#1;");
    EXPECT_EQ(unit_->device_class(), 11);
    EXPECT_FALSE(unit_->has_gps_tracker());
}

TEST_F(RouterUnitTest, ConstantAndSimpleSevenReplies) {
    EXPECT_EQ(ask("#7,US;"), "#7,US,1");
    EXPECT_EQ(ask("#7,TZ;"), "#7,TZ,0;");
    EXPECT_EQ(ask("#7,BS;"), "#7,BS,-1,-1;");
    EXPECT_EQ(ask("#7;"), "#7,?;");
    EXPECT_EQ(ask("#7,XX;"), "#7,?;");
    EXPECT_EQ(ask("#7,MD;"), "#7,?;");
    EXPECT_EQ(ask("#7,MD,abc;"), "#7,MD," + unit_password(1234, "abc") + ";");
    EXPECT_THAT(ask("#7,RT;"), MatchesRegex("#7,RT,[0-9]{2},[0-9]{2},[0-9]{2},[0-9]{2},[0-9]{2},"
                                            "[0-9]{4};"));
}

TEST_F(RouterUnitTest, UnknownCodesAreAnsweredNotDropped) {
    EXPECT_EQ(ask("#9,1;"), "#9,?;");
    EXPECT_EQ(ask("#R,1;"), "#R,?;");
    EXPECT_TRUE(logger_->contains("Unknown command: #R,1;"));
}

TEST_F(RouterUnitTest, UnparsableCommandIsDroppedWithItsError) {
    EXPECT_EQ(ask("#7,GP"), "<no reply>");
    ASSERT_FALSE(last_status_.ok());
    EXPECT_EQ(last_status_.error().message(), "Command string should end with ;");
}

TEST_F(RouterUnitTest, GpsRepliesWithAFix) {
    // 1 709 647 629 is 2024-03-05 14:07:09 UTC.
    EXPECT_EQ(ask("#7,GP;"), "#7,GP,1,2024,3,5,14,7,9,10,30,0,0,N,20,15,0,0,E,2123,15;");
    EXPECT_EQ(ask("#7,GP,1;"), "#7,GP,1,10.500000,20.250000,2123,15;");
    EXPECT_EQ(ask("#7,GP,2;"), "#7,?;");
    EXPECT_EQ(ask("#7,GP,1,1;"), "#7,?;");
}

TEST_F(RouterUnitTest, GpsLongReplyKeepsSignsOnSouthernAndWesternFixes) {
    receiver_->record.latitude = -12.5;
    receiver_->record.longitude = 0.5;
    receiver_->record.satellites = 3;
    EXPECT_EQ(ask("#7,GP;"), "#7,GP,2,2024,3,5,14,7,9,12,-30,0,0,S,0,30,0,0,E,2123,15;");
}

TEST_F(RouterUnitTest, GpsHemisphereFollowsTheSignBelowOneDegree) {
    receiver_->record.latitude = 0.5;
    receiver_->record.longitude = -0.25;
    EXPECT_EQ(ask("#7,GP;"), "#7,GP,1,2024,3,5,14,7,9,0,30,0,0,N,0,-15,0,0,W,2123,15;");
}

TEST_F(RouterUnitTest, GpsRepliesWithoutAFix) {
    receiver_->result = kGpsResultBusError;
    EXPECT_EQ(ask("#7,GP;"), "#7,GP,-1,0,0,0,0,0,0,0,0,0,0,-,0,0,0,0,-,0,0,0;");
    EXPECT_EQ(ask("#7,GP,1;"), "#7,GP,-1,0,0,0,0;");
}

TEST_F(RouterUnitTest, StorageCountersUseTheFirstUsbStorage) {
    EXPECT_EQ(ask("#7,NS;"), "#7,NS,0;");
    EXPECT_EQ(ask("#7,NF;"), "#7,NF,0;");
    storage_->storages = {
        {"/dev/mmcblk0p1", StorageKind::MMC, "/dev/mmcblk0p1", "/mnt/c", 5120, 512},
        {"/dev/sda1", StorageKind::USB, "/dev/sda1", "/mnt/a", 1'048'576, 5'000},
        {"/dev/sdb1", StorageKind::USB, "/dev/sdb1", "/mnt/b", 512, 512}};
    EXPECT_EQ(ask("#7,NS;"), "#7,NS,2048;");
    EXPECT_EQ(ask("#7,NF;"), "#7,NF,9;");
}

TEST_F(RouterUnitTest, TimeZoneQueryAndChange) {
    EXPECT_EQ(ask("#7,SN,D,Z;"), "#7,SN,D,Z,Europe/Berlin;");
    EXPECT_EQ(ask("#7,SN,D,Z,Europe/Riga,ignored;"), "#7,SN,D;");
    EXPECT_EQ(backend_->zone, "Europe/Riga");
    EXPECT_EQ(ask("#7,SN,D,Z;"), "#7,SN,D,Z,Europe/Riga;");
    EXPECT_EQ(ask("#7,SN,D,Z,Mars/Olympus;"), "#7,?;");
    EXPECT_TRUE(logger_->contains(
        "Failed to change current time zone: Unknown IANA timezone: Mars/Olympus"));
}

TEST_F(RouterUnitTest, CommandsAreAnsweredOnePerPassInArrivalOrder) {
    std::vector<std::string> replies;
    for (const char* text : {"#7,TZ;", "#7,BS;"}) {
        unit_->enqueue_command(text, [&](const std::string& r) { replies.push_back(r); }, {});
    }
    ASSERT_TRUE(unit_->process().ok());
    EXPECT_THAT(replies, ElementsAre("#7,TZ,0;"));
    ASSERT_TRUE(unit_->process().ok());
    ASSERT_TRUE(unit_->process().ok());  // empty queue
    EXPECT_THAT(replies, ElementsAre("#7,TZ,0;", "#7,BS,-1,-1;"));
    EXPECT_EQ(unit_->read_data(nullptr, 0).error().message(),
              "QM208 does not support read_data() yet");
}

TEST_F(RouterUnitTest, FloodBeyondTheQueueBoundIsDroppedWithOneErrorPerBurst) {
    std::vector<std::string> replies;
    const auto collect = [&](const std::string& r) { replies.push_back(r); };
    for (std::size_t i = 0; i < RouterUnit::kMaxQueuedCommands + 100; ++i) {
        unit_->enqueue_command("#7,TZ;", collect, {});
    }
    const std::string full = "Command queue full (64 commands): dropping commands until it drains";
    const auto count = [&](const std::string& text) {
        const auto texts = logger_->texts();
        return std::count(texts.begin(), texts.end(), text);
    };
    EXPECT_EQ(count(full), 1);

    ASSERT_TRUE(unit_->process().ok());
    unit_->enqueue_command("#7,BS;", collect, {});  // room again: accepted
    EXPECT_TRUE(
        logger_->contains("Command queue has room again; 100 command(s) were dropped "
                          "unanswered"));
    for (std::size_t i = 0; i < RouterUnit::kMaxQueuedCommands + 5; ++i) {
        ASSERT_TRUE(unit_->process().ok());
    }
    ASSERT_EQ(replies.size(), RouterUnit::kMaxQueuedCommands + 1);
    EXPECT_EQ(replies.back(), "#7,BS,-1,-1;");

    for (std::size_t i = 0; i < RouterUnit::kMaxQueuedCommands + 1; ++i) {
        unit_->enqueue_command("#7,TZ;", collect, {});
    }
    EXPECT_EQ(count(full), 2);  // a new burst is reported again
}

TEST_F(RouterUnitTest, UnitRequestTable) {
    EXPECT_EQ(ask("#7,SN;"), "#7,SN;");
    EXPECT_EQ(ask("#7,SN,A;"), "#7,SN,A,,;");
    EXPECT_EQ(ask("#7,SN,A,1;"), "#7,SN,A;");
    EXPECT_EQ(ask("#7,SN,F;"), "#7,SN,OK;");
    EXPECT_EQ(ask("#7,SN,Q;"), "#7,SN;");
    EXPECT_EQ(ask("#7,SN,S;"), "#7,SN,S,1234,1.04.0,0;");
    cameras_->usable = true;
    EXPECT_EQ(ask("#7,SN,0;"), "#7,SN,208,1234,1.04.0,1;");
}

TEST_F(RouterUnitTest, FtpCredentialsSetAndClear) {
    EXPECT_EQ(ask("#7,SN,D,C,1,user;"), "#7,SN,?;");
    EXPECT_FALSE(clients_->credentials(kSerial).ok());
    EXPECT_EQ(ask("#7,SN,D,C,1,,pw;"), "#7,SN,D;");
    EXPECT_FALSE(clients_->credentials(kSerial).ok());
    EXPECT_EQ(ask("#7,SN,D,C,1,user,pw;"), "#7,SN,D;");
    EXPECT_EQ(clients_->credentials(kSerial)->password, "pw");
    EXPECT_EQ(ask("#7,SN,D,C,0;"), "#7,SN,D;");
    EXPECT_FALSE(clients_->credentials(kSerial).ok());
    EXPECT_EQ(ask("#7,SN,D,C,0;"), "#7,SN,D;");  // no account: still acknowledged
    EXPECT_EQ(ask("#7,SN,D,X;"), "#7,SN,?;");
}

TEST_F(RouterUnitTest, RecordingRequests) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(ask("#7,SN,T,C,2024-03-05 14:00:00,60;"), "#7,SN,T,1;");
    EXPECT_TRUE(logger_->contains("No online cameras available to request recording for Velnora"));

    const Uuid camera({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    cameras_->online = camera;
    EXPECT_EQ(ask("#7,SN,T,C,2024-03-05 14:00:00,60;"), "#7,SN,T,0;");
    ASSERT_EQ(recordings_->requests.size(), 1u);
    const auto& request = recordings_->requests[0];
    EXPECT_EQ(request.camera, camera);
    EXPECT_EQ(request.client_id, kSerial);
    EXPECT_EQ(request.unit, (UnitIdentity{11, kSerial}));
    EXPECT_EQ(request.range.start(), 1'709'647'200'000'000'000);
    EXPECT_EQ(request.range.duration_seconds(), 60);
    EXPECT_TRUE(
        logger_->contains("Requesting camera recording for Velnora: 2024-03-05 14:00:00, +60 s"));

    EXPECT_EQ(ask("#7,SN,T,C,2024-03-05 14:00:00,0;"), "#7,SN,T,0;");
    recordings_->fail = true;
    EXPECT_EQ(ask("#7,SN,T,C,2024-03-05 14:00:00,5;"), "#7,SN,T,2;");
    EXPECT_TRUE(logger_->contains("Failed to request camera recording for Velnora: queue full"));

    for (const char* bad :
         {"#7,SN,T,C,yesterday,5;", "#7,SN,T,C,2024-03-05 14:00:00,-5;",
          "#7,SN,T,C,2024-03-05 14:00:00,ten;", "#7,SN,T,C,2024-03-05;",
          "#7,SN,T,X,2024-03-05 14:00:00,5;",
          // past the end of the time-point scale
          "#7,SN,T,C,9999-12-31 23:59:59,5;", "#7,SN,T,C,2262-04-12 00:00:00,0;",
          // trailing text after the date or the duration
          "#7,SN,T,C,2024-03-05 14:00:00x,5;", "#7,SN,T,C,2024-03-05 14:00:00 ,5;",
          "#7,SN,T,C,2024-03-05 14:00:00,5s;",
          // a duration that runs past the end of the scale
          "#7,SN,T,C,2262-04-11 00:00:00,999999999;"}) {
        EXPECT_EQ(ask(bad), "#7,SN,?;") << bad;
    }
    EXPECT_EQ(recordings_->requests.size(), 3u);

    // Early dates are representable and get no special treatment (negative time points).
    recordings_->fail = false;
    EXPECT_EQ(ask("#7,SN,T,C,1900-01-01 00:00:00,9223372036;"), "#7,SN,T,0;");
    ASSERT_EQ(recordings_->requests.size(), 4u);
    EXPECT_EQ(recordings_->requests.back().range.start(), -2'208'988'800'000'000'000);
    ::unsetenv("TZ");
    ::tzset();
}

TEST(Qm208SerialNumberTest, DeviceNameRules) {
    EXPECT_EQ(*Qm208SerialNumberService::serial_number_of("router_00123"), 123u);
    EXPECT_EQ(*Qm208SerialNumberService::serial_number_of("a_4294967295"), 4294967295u);
    EXPECT_EQ(Qm208SerialNumberService::serial_number_of("router").error().message(),
              "Failed to find '_' in device name");
    for (const char* bad : {"router_12a", "router_", "router_-1", "router_4294967296", "r_1_2"}) {
        EXPECT_EQ(Qm208SerialNumberService::serial_number_of(bad).error().message(),
                  "Failed to parse serial number as uint32_t")
            << bad;
    }
}

}  // namespace
}  // namespace voxapp
