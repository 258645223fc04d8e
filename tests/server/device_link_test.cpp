#include "server/device_link.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "support/recording_logger.hpp"

namespace voxapp {
namespace {

using ::testing::ElementsAre;

// A server connection that records what is sent and how often it was started.
class FakeConnection : public LinkComponent, public RemoteConnection {
public:
    void start() override { ++starts; }
    void stop() override { ++stops; }
    Result<std::size_t> send_reply(std::uint16_t id, const char* data, std::size_t n) override {
        sent.push_back("reply " + std::to_string(id) + " " + std::string(data, n));
        return n;
    }
    Result<std::size_t> send_binary_reply(std::uint16_t id, std::uint32_t total, const char* data,
                                          std::size_t n) override {
        sent.push_back("binary " + std::to_string(id) + " " + std::to_string(total) + " " +
                       std::string(data, n));
        return n;
    }
    Result<std::size_t> send_raw(const char* data, std::size_t n) override {
        sent.push_back("raw " + std::string(data, n));
        return n;
    }
    int starts = 0;
    int stops = 0;
    std::vector<std::string> sent;
    RemoteLinkHandler* handler = nullptr;
    ServerEndpoint endpoint;
    std::shared_ptr<Logger> logger;
};

class FakeDevice : public Device {
public:
    std::uint32_t serial_number() const override { return 42; }
    std::uint8_t device_class() const override { return device_class_value; }
    bool has_gps_tracker() const override { return gps; }
    void enqueue_command(std::string text, ReplyCallback reply, CommandExpiry expiry) override {
        queued.push_back({std::move(text), std::move(reply), expiry});
    }
    bool try_lock_for(std::chrono::milliseconds) override {
        events.push_back("lock");
        return true;
    }
    void unlock() override { events.push_back("unlock"); }
    Status write_data(const char* data, std::size_t n) override {
        events.push_back("write " + std::string(data, n));
        return {};
    }
    Result<std::size_t> read_data(char* buffer, std::size_t capacity) override {
        if (pending_eagain > 0) {
            --pending_eagain;
            return Error::from_errno(EAGAIN);
        }
        if (answer.empty()) {
            return Error::fixed("no answer");
        }
        const std::size_t n = std::min(capacity, answer.size());
        std::copy_n(answer.data(), n, buffer);
        return n;
    }
    Status process() override { return {}; }
    void tick(float) override {}
    int subscribe_messages(MessageCallback callback) override {
        sinks.push_back(std::move(callback));
        return static_cast<int>(sinks.size());
    }
    void unsubscribe_messages(int id) override { unsubscribed.push_back(id); }

    struct Queued {
        std::string text;
        ReplyCallback reply;
        CommandExpiry expiry;
    };
    std::uint8_t device_class_value = 11;
    bool gps = false;
    std::vector<Queued> queued;
    std::vector<std::string> events;
    std::string answer;
    int pending_eagain = 0;
    std::vector<MessageCallback> sinks;
    std::vector<int> unsubscribed;
};

class DeviceLinkTest : public ::testing::Test {
protected:
    std::unique_ptr<DeviceLink> make_link(DeviceLink::Timing timing = {}) {
        DeviceLink::Factories factories;
        factories.connection = [this](const ServerEndpoint& endpoint,
                                      std::shared_ptr<Logger> logger, RemoteLinkHandler& handler) {
            connection_->endpoint = endpoint;
            connection_->logger = std::move(logger);
            connection_->handler = &handler;
            return connection_;
        };
        factories.gps_tracker = [this](GpsCommandSink& sink, std::shared_ptr<Logger>) {
            gps_sink_ = &sink;
            return tracker_;
        };
        return std::make_unique<DeviceLink>(device_, settings_, logger_, factories, timing);
    }

    Settings settings_ = [] {
        Settings settings;
        settings.remote_address = "primary";
        settings.remote_port = 1;
        settings.remote_timeout = 10;
        settings.remote_address_rd = "secondary";
        settings.remote_port_rd = 2;
        settings.remote_timeout_rd = 20;
        settings.ca_path = "/ca";
        settings.components = {{ComponentId::remote_connection, true},
                               {ComponentId::gps_location, false},
                               {ComponentId::event_tracker, true}};
        return settings;
    }();
    std::shared_ptr<test::RecordingLogger> logger_ = std::make_shared<test::RecordingLogger>();
    std::shared_ptr<FakeDevice> device_ = std::make_shared<FakeDevice>();
    std::shared_ptr<FakeConnection> connection_ = std::make_shared<FakeConnection>();
    std::shared_ptr<FakeConnection> tracker_ = std::make_shared<FakeConnection>();
    GpsCommandSink* gps_sink_ = nullptr;
};

TEST_F(DeviceLinkTest, BuildsComponentsFromTheListWithTaggedLogging) {
    auto link = make_link();
    EXPECT_EQ(link->component_count(), 1u);
    EXPECT_EQ(connection_->endpoint, (ServerEndpoint{"primary", 1, 10, "/ca"}));
    EXPECT_EQ(connection_->handler, link.get());
    ASSERT_NE(connection_->logger, nullptr);
    EXPECT_THAT(logger_->texts(),
                ElementsAre("[42] Creating components", "[42] Creating TCP component with SSL",
                            "[42] GpsTracker component is not supported by this device"));
}

TEST_F(DeviceLinkTest, BasicInstrumentsUseTheSecondaryEndpointAndGetATracker) {
    device_->device_class_value = 0;
    device_->gps = true;
    settings_.components[0].log = false;
    auto link = make_link();
    EXPECT_EQ(link->component_count(), 2u);
    EXPECT_EQ(connection_->endpoint, (ServerEndpoint{"secondary", 2, 20, "/ca"}));
    EXPECT_EQ(connection_->logger, nullptr);
    EXPECT_TRUE(logger_->contains("[42] Creating GpsTracker component"));
    EXPECT_EQ(DeviceLink::endpoint_for(1, settings_).host, "secondary");
    EXPECT_EQ(DeviceLink::endpoint_for(12, settings_).host, "primary");
}

TEST_F(DeviceLinkTest, WithoutComponentLinesNothingIsCreated) {
    settings_.components.clear();
    auto link = make_link();
    EXPECT_EQ(link->component_count(), 0u);
    EXPECT_THAT(logger_->texts(), ElementsAre("[42] Creating components"));
}

TEST_F(DeviceLinkTest, StartingTwiceStartsComponentsOnce) {
    auto link = make_link();
    link->start();
    link->start();
    link->stop();
    EXPECT_EQ(connection_->starts, 1);
    EXPECT_EQ(connection_->stops, 1);
}

TEST_F(DeviceLinkTest, RepliesGoBackInTheRequestsFrameKind) {
    auto link = make_link();
    const std::string plain = "#7,TZ;", ascii = "#1,U?;", binary = ";#D,r,1;";
    link->on_command(*connection_, 0, plain.data(), plain.size(), std::nullopt);
    link->on_command(*connection_, 7, ascii.data(), ascii.size(), std::nullopt);
    link->on_command(*connection_, 7, binary.data(), binary.size(), std::nullopt);
    link->on_unsolicited(*connection_, plain.data(), plain.size());
    ASSERT_EQ(device_->queued.size(), 4u);
    EXPECT_EQ(device_->queued[2].text, ";#D,r,1;");
    for (auto& queued : device_->queued) {
        queued.reply("ANSWER");
    }
    EXPECT_THAT(connection_->sent, ElementsAre("reply 0 ANSWER", "reply 7 ANSWER",
                                               "binary 7 6 ANSWER", "reply 0 ANSWER"));
}

TEST_F(DeviceLinkTest, TrackerCommandsCarryTheirExpiryAndDropReplies) {
    device_->gps = true;
    auto link = make_link();
    ASSERT_NE(gps_sink_, nullptr);
    gps_sink_->submit_command("#7,MG,2;", 123);
    ASSERT_EQ(device_->queued.size(), 1u);
    EXPECT_EQ(device_->queued[0].expiry, CommandExpiry(123));
    EXPECT_FALSE(device_->queued[0].reply);
}

TEST_F(DeviceLinkTest, LongBinaryTransferHoldsTheLockAndAnswersOnce) {
    auto link = make_link({std::chrono::milliseconds(2000), std::chrono::milliseconds(1)});
    device_->answer = "0123456789";
    device_->pending_eagain = 3;
    link->on_binary_begin(*connection_, 9, "#9,1,", 5);
    link->on_binary_chunk(*connection_, "abc", 3);
    link->on_binary_end(*connection_, "xyz", 3);
    EXPECT_THAT(device_->events,
                ElementsAre("lock", "write #9,1,", "write abc", "write xyz", "unlock"));
    EXPECT_THAT(connection_->sent, ElementsAre("reply 9 0123456789"));
}

TEST_F(DeviceLinkTest, SilentDeviceIsReleasedAfterTheBound) {
    auto link = make_link({std::chrono::milliseconds(30), std::chrono::milliseconds(1)});
    device_->pending_eagain = 1'000'000;
    link->on_binary_begin(*connection_, 9, "#9,1,", 5);
    link->on_binary_end(*connection_, "", 0);
    EXPECT_EQ(device_->events.back(), "unlock");
    EXPECT_TRUE(connection_->sent.empty());
    EXPECT_TRUE(logger_->contains(
        "[42] No answer from the device to the binary transfer within 0 seconds; releasing it "
        "without a reply"));
}

TEST_F(DeviceLinkTest, AbandonedTransferGivesTheLockBack) {
    auto link = make_link();
    link->on_binary_begin(*connection_, 9, "#9,1,", 5);
    link->on_binary_abandoned(*connection_);
    EXPECT_THAT(device_->events, ElementsAre("lock", "write #9,1,", "unlock"));
    EXPECT_TRUE(connection_->sent.empty());
    EXPECT_TRUE(logger_->contains("[42] Binary transfer to the device abandoned; releasing it"));
}

TEST_F(DeviceLinkTest, ReadErrorEndsTheTransferWithoutReply) {
    auto link = make_link();
    link->on_binary_begin(*connection_, 9, "#9,1,", 5);
    link->on_binary_end(*connection_, "", 0);
    EXPECT_EQ(device_->events.back(), "unlock");
    EXPECT_TRUE(connection_->sent.empty());
}

TEST_F(DeviceLinkTest, SpontaneousMessagesGoOutAsPlainFramesUntilTheLinkIsGone) {
    auto link = make_link();
    link->on_started(*connection_);
    ASSERT_EQ(device_->sinks.size(), 1u);
    device_->sinks[0]("#5,ALARM;");
    EXPECT_THAT(connection_->sent, ElementsAre("reply 0 #5,ALARM;"));
    link.reset();
    EXPECT_THAT(device_->unsubscribed, ElementsAre(1));
}

}  // namespace
}  // namespace voxapp

namespace voxapp {
namespace {

// The device outlives its link when the device manager drops the link in the middle of a pass:
// a reply or message it gives afterwards must not reach the link's (destroyed) connection.
TEST_F(DeviceLinkTest, RepliesAndMessagesAfterTheLinkIsGoneAreDropped) {
    auto link = make_link();
    link->start();
    link->on_command(*connection_, 7, "#1,N?;", 6, std::nullopt);
    link->on_started(*connection_);
    ASSERT_EQ(device_->queued.size(), 1u);
    ASSERT_EQ(device_->sinks.size(), 1u);
    link.reset();
    device_->queued[0].reply("#1,N42;");
    device_->sinks[0]("#5,1;");
    EXPECT_TRUE(connection_->sent.empty());
}

}  // namespace
}  // namespace voxapp
