// The camera state table and the service's in-flight bookkeeping: what must never be sent
// twice, what must be sent last, and how a probe ends.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cameras/camera_service.hpp"
#include "cameras/in_memory_camera_store.hpp"

namespace voxapp::test {
namespace {

const Uuid kId = *Uuid::parse("0190a000-0000-7000-8000-000000000001");
const MacAddress kMac = *MacAddress::parse("02:00:00:11:22:33");
const Ipv4Address kIp = *Ipv4Address::parse("192.168.1.20");

// Rejects a change with its text, or accepts it with the status and event it leads to.
struct Transition {
    CameraStatus from;
    Status (Camera::*operation)();
    const char* rejection;  // null when accepted
    CameraStatus to;
    std::size_t events;
};

Camera camera_in(CameraStatus status) {
    return Camera::restore(CameraSummary{kId, kMac, kIp, status}, std::nullopt);
}

TEST(CameraTest, StatusTableAcceptsAndRejectsAsDesigned) {
    using S = CameraStatus;
    const Transition table[] = {
        {S::Online, &Camera::go_online, nullptr, S::Online, 0},
        {S::Discovered, &Camera::go_online, nullptr, S::Online, 1},
        {S::InvalidCredentials, &Camera::go_online, nullptr, S::Online, 1},
        {S::Offline, &Camera::go_offline, nullptr, S::Offline, 0},
        {S::Discovered, &Camera::go_offline, "Cannot go offline, camera is discovered",
         S::Discovered, 0},
        {S::InvalidCredentials, &Camera::go_offline, nullptr, S::Offline, 1},
        {S::Discovered, &Camera::invalidate_credentials,
         "Cannot invalidate credentials, camera is discovered", S::Discovered, 0},
        {S::InvalidCredentials, &Camera::invalidate_credentials, nullptr, S::InvalidCredentials, 1},
        {S::Offline, &Camera::bootstrap, "Cannot bootstrap camera that is not online", S::Offline,
         0},
        {S::Online, &Camera::bootstrap, nullptr, S::Online, 1},
        {S::Discovered, &Camera::reset_provisioning, nullptr, S::Discovered, 1},
    };
    for (const Transition& row : table) {
        Camera camera = camera_in(row.from);
        const Status done = (camera.*row.operation)();
        SCOPED_TRACE(static_cast<int>(row.from));
        if (row.rejection != nullptr) {
            ASSERT_FALSE(done);
            EXPECT_EQ(done.error().message(), row.rejection);
        } else {
            EXPECT_TRUE(done);
        }
        EXPECT_EQ(camera.status(), row.to);
        EXPECT_EQ(camera.take_events().size(), row.events);
    }
}

TEST(CameraTest, StoreRefusesASecondCameraWithTheSameMac) {
    InMemoryCameraStore store(nullptr);
    ASSERT_TRUE(store.save(Camera::create(kId, kMac, kIp)));
    const Status clash =
        store.save(Camera::create(*Uuid::parse("0190a000-0000-7000-8000-000000000002"), kMac, kIp));
    ASSERT_FALSE(clash);
    EXPECT_EQ(clash.error().message(), "Camera with this MAC already exists");
    EXPECT_EQ(store.list_all()->size(), 1U);
}

// A driver whose requests wait until the test completes them.
struct Call {
    std::string operation;
    std::string detail;
    CameraDriver::Done done;
    std::string ip;
};

// Like a real driver, it drops the completions of its requests once it is destroyed.
class ScriptedDriver : public CameraDriver {
public:
    ScriptedDriver(std::deque<Call>& calls, std::string credential, std::string ip)
        : calls_(calls), credential_(std::move(credential)), ip_(std::move(ip)) {}

    void get_device_info(Done done) override { record("info", credential_, std::move(done)); }
    void set_time_zone(const std::string& zone, Done done) override {
        record("zone", zone, std::move(done));
    }
    void provision(Done done) override { record("provision", "", std::move(done)); }
    void enforce_streaming_limits(Done done) override { record("limits", "", std::move(done)); }
    void get_time(Completion<TimePoint>) override {}
    void set_time(TimePoint, Done) override {}
    void enable_ntp(Done) override {}
    void search_recordings(const TimeRange&, Completion<std::vector<RecordingSegment>>) override {}
    void download_recording(const RecordingSegment&, const std::string&, Done) override {}

private:
    void record(std::string operation, std::string detail, Done done) {
        Done guarded = [alive = std::weak_ptr<bool>(alive_), done](CameraOutcome outcome) {
            if (!alive.expired()) {
                done(std::move(outcome));
            }
        };
        calls_.push_back({std::move(operation), std::move(detail), std::move(guarded), ip_});
    }

    std::deque<Call>& calls_;
    std::string credential_;
    std::string ip_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class ScriptedFactory : public CameraDriverFactory {
public:
    std::unique_ptr<CameraDriver> create(const Ipv4Address& ip,
                                         const CameraCredential& credential) override {
        return std::make_unique<ScriptedDriver>(calls, credential.password, ip.to_string());
    }
    std::deque<Call> calls;
};

class FixedCandidates : public CameraCredentialsProvider {
public:
    const std::vector<CameraCredential>& candidates() const override { return list; }
    std::vector<CameraCredential> list{{"admin", "a"}, {"admin", "b"}};
};

class CameraServiceTest : public ::testing::Test {
protected:
    CameraServiceTest() {
        dispatcher_->subscribe<CameraCredentialsSet>(
            [this](const CameraCredentialsSet& event) { credentials_set_.push_back(event.password); });
        dispatcher_->subscribe<CameraWentOnline>([this](const CameraWentOnline&) { ++online_; });
    }

    // A stored camera with `status` and, when given, the password of user "admin".
    void store(CameraStatus status, const char* password) {
        std::optional<CameraCredential> credential;
        if (password != nullptr) {
            credential = CameraCredential{"admin", password};
        }
        ASSERT_TRUE(store_->save(Camera::restore({kId, kMac, kIp, status}, credential)));
    }
    // Completes the oldest request.
    void complete(CameraOutcome outcome) {
        Call call = std::move(factory_->calls.front());
        factory_->calls.pop_front();
        call.done(std::move(outcome));
    }
    CameraOutcome refused() { return CameraOutcome(CameraDriverError::Unauthorized, "401"); }

    std::shared_ptr<EventDispatcher> dispatcher_{*EventDispatcher::create()};
    std::shared_ptr<InMemoryCameraStore> store_ = std::make_shared<InMemoryCameraStore>(nullptr);
    std::shared_ptr<ScriptedFactory> factory_ = std::make_shared<ScriptedFactory>();
    CameraService service_{dispatcher_, store_, store_, factory_,
                           std::make_shared<FixedCandidates>()};
    std::vector<std::string> credentials_set_;
    int online_ = 0;
    const std::string id_ = kId.to_string();
};

TEST_F(CameraServiceTest, VerificationsInFlightAreNotRepeated) {
    store(CameraStatus::Offline, "a");
    ASSERT_TRUE(service_.verify(id_));
    ASSERT_TRUE(service_.verify(id_));
    ASSERT_EQ(factory_->calls.size(), 1U);
    complete(std::monostate());
    EXPECT_EQ(online_, 1);
    EXPECT_EQ(service_.requests_in_flight(), 0U);
    ASSERT_TRUE(service_.verify(id_));
    EXPECT_EQ(factory_->calls.size(), 1U);
}

TEST_F(CameraServiceTest, TimeZonePushesSendTheFirstAndThenOnlyTheLatest) {
    store(CameraStatus::Online, "a");
    for (const char* zone : {"Europe/Berlin", "Europe/Riga", "Asia/Tokyo"}) {
        ASSERT_TRUE(service_.push_time_zone(id_, zone));
    }
    ASSERT_EQ(factory_->calls.size(), 1U);
    EXPECT_EQ(factory_->calls.front().detail, "Europe/Berlin");
    complete(CameraOutcome(CameraDriverError::TransportError, "down"));
    ASSERT_EQ(factory_->calls.size(), 1U);
    EXPECT_EQ(factory_->calls.front().detail, "Asia/Tokyo");
    complete(std::monostate());
    EXPECT_TRUE(factory_->calls.empty());
    EXPECT_EQ(service_.requests_in_flight(), 0U);
}

TEST_F(CameraServiceTest, ProbeTriesCandidatesInOrderAndStoresTheOneThatWorks) {
    store(CameraStatus::Discovered, nullptr);
    ASSERT_TRUE(service_.probe_credentials(id_));
    ASSERT_TRUE(service_.probe_credentials(id_));
    ASSERT_EQ(factory_->calls.size(), 1U);
    EXPECT_EQ(factory_->calls.front().detail, "a");
    complete(refused());
    ASSERT_EQ(factory_->calls.size(), 1U);
    EXPECT_EQ(factory_->calls.front().detail, "b");
    complete(std::monostate());
    EXPECT_EQ(credentials_set_, std::vector<std::string>{"b"});
    EXPECT_EQ(store_->find_by_id(kId)->credentials()->password, "b");
}

TEST_F(CameraServiceTest, ProbeWithoutAWorkingCandidateEndsQuietly) {
    store(CameraStatus::Discovered, nullptr);
    ASSERT_TRUE(service_.probe_credentials(id_));
    complete(refused());
    complete(refused());
    EXPECT_TRUE(factory_->calls.empty());
    EXPECT_EQ(service_.requests_in_flight(), 0U);
    EXPECT_EQ(store_->find_by_id(kId)->status(), CameraStatus::Discovered);
}

// A camera that refused its credentials for a while and takes them again publishes no change;
// it must still be verified, or it would stay invalid for good.
TEST_F(CameraServiceTest, ProbeFindingTheStoredCredentialsVerifiesAgain) {
    store(CameraStatus::InvalidCredentials, "a");
    ASSERT_TRUE(service_.probe_credentials(id_));
    complete(std::monostate());
    EXPECT_TRUE(credentials_set_.empty());
    ASSERT_EQ(factory_->calls.size(), 1U);
    EXPECT_EQ(factory_->calls.front().operation, "info");
    complete(std::monostate());
    EXPECT_EQ(store_->find_by_id(kId)->status(), CameraStatus::Online);
}

// Another host can take a camera's MAC in a discovery answer: the camera is not used at the new
// address, and no verification started at the old one counts, until it proves itself there.
TEST_F(CameraServiceTest, AMovedCameraIsVerifiedAtItsNewAddressBeforeItIsUsed) {
    store(CameraStatus::Online, "a");
    ASSERT_TRUE(service_.verify(id_));
    ASSERT_TRUE(service_.reconcile_discovered(kMac.to_string(), "192.168.1.99"));
    EXPECT_EQ(store_->find_by_id(kId)->status(), CameraStatus::Offline);
    ASSERT_EQ(factory_->calls.size(), 2U);
    EXPECT_EQ(factory_->calls.back().ip, "192.168.1.99");
    complete(std::monostate());
    EXPECT_EQ(store_->find_by_id(kId)->status(), CameraStatus::Offline);
    complete(std::monostate());
    EXPECT_EQ(store_->find_by_id(kId)->status(), CameraStatus::Online);

    ASSERT_TRUE(service_.reconcile_discovered(kMac.to_string(), "192.168.1.99"));
    EXPECT_TRUE(factory_->calls.empty());
    EXPECT_EQ(online_, 1);
}

TEST_F(CameraServiceTest, CommandsCheckTheirInputBeforeTheStore) {
    EXPECT_EQ(service_.set_credentials(id_, "admin", "").error().message(),
              "Password cannot be empty");
    EXPECT_EQ(service_.mark_online(id_).error().message(), "Camera not found");
    EXPECT_EQ(service_.verify("not-an-id").error().message(), "Invalid UUID string length");
    store(CameraStatus::Discovered, nullptr);
    EXPECT_EQ(service_.verify(id_).error().message(), "Camera credentials not set");
}

}  // namespace
}  // namespace voxapp::test
