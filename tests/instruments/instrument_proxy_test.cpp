// The instrument proxy's exchange on a real pseudo-terminal, where the system test cannot look:
// a command the line takes only in part, and time limits under a wall clock that steps.

#include "instruments/instrument_proxy.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/recording_logger.hpp"

namespace voxapp {
namespace {

using namespace std::chrono_literals;

constexpr TimePoint kSecond = 1'000'000'000;

class InstrumentProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[64];
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        termios raw{};
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        auto port = SerialDevice::open_port(name, "", logger_);
        ASSERT_TRUE(port.ok());
        InstrumentTiming timing;
        timing.model = 10s;
        Clocks clocks{[this] { return wall_; }, [this] { return monotonic_; }};
        proxy_ = std::make_shared<ModelInstrumentProxy>(std::move(*port), 42, 5, logger_,
                                                        InstrumentProxy::Services{}, timing,
                                                        clocks);
    }
    void TearDown() override {
        proxy_.reset();
        close(master_);
        close(slave_);
    }

    void enqueue(const std::string& text, CommandExpiry expiry = std::nullopt) {
        proxy_->enqueue_command(
            text, [this](const std::string& reply) { replies_.push_back(reply); }, expiry);
    }
    // What the instrument's side receives within `bound_ms`, or as soon as `expected` bytes
    // are in (the pty hands bytes over asynchronously).
    std::string received(std::size_t expected = 0, int bound_ms = 100) {
        std::string bytes;
        char buffer[65536];
        for (int waited = 0; waited < bound_ms; ++waited) {
            for (ssize_t count; (count = read(master_, buffer, sizeof buffer)) > 0;) {
                bytes.append(buffer, static_cast<std::size_t>(count));
            }
            if (expected > 0 && bytes.size() >= expected) {
                break;
            }
            pollfd ready{master_, POLLIN, 0};
            poll(&ready, 1, 1);
        }
        return bytes;
    }
    void answer(const std::string& text) {
        ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Passes until a reply came (the pty hands bytes over asynchronously), at most `passes`.
    void process_until_reply(int passes = 200) {
        const std::size_t before = replies_.size();
        for (int i = 0; i < passes && replies_.size() == before; ++i) {
            (void)proxy_->process();
            usleep(1000);
        }
    }

    int master_ = -1;
    int slave_ = -1;
    TimePoint wall_ = 1'700'000'000 * kSecond;
    TimePoint monotonic_ = 1'000 * kSecond;
    std::shared_ptr<test::RecordingLogger> logger_ = std::make_shared<test::RecordingLogger>();
    std::shared_ptr<InstrumentProxy> proxy_;
    std::vector<std::string> replies_;
};

TEST_F(InstrumentProxyTest, CommandTheLineTakesInPartGoesOnFromWhereItStoppedEvenAfterATimeout) {
    // Far more than a pseudo-terminal buffers while nobody reads it.
    const std::string command = "#7,AB," + std::string(300'000, 'x') + ";";
    enqueue(command);
    ASSERT_TRUE(proxy_->process().ok());
    std::string arrived = received(1);
    ASSERT_FALSE(arrived.empty());
    ASSERT_LT(arrived.size(), command.size()) << "the line took the whole command at once";
    EXPECT_EQ(proxy_->activity(), DeviceActivity::waiting);

    // The time limit runs out with the command half written: the retry goes on from there.
    monotonic_ += 11 * kSecond;
    (void)proxy_->process();
    EXPECT_TRUE(logger_->contains("Timeout has passed."));
    for (int pass = 0; pass < 2000 && arrived.size() < command.size(); ++pass) {
        (void)proxy_->process();
        arrived += received(1, 1);
    }
    arrived += received();
    EXPECT_EQ(arrived, command) << "the instrument got a fragment followed by more than the rest";

    answer("#7,AB,1;");
    process_until_reply();
    ASSERT_EQ(replies_.size(), 1u);
    EXPECT_EQ(replies_[0], "#7,AB,1;");
}

TEST_F(InstrumentProxyTest, TimeLimitsAndExpiriesFollowTheMonotonicClockWhateverTheWallClockDoes) {
    enqueue("#7,AB;");
    enqueue("#7,CD;", monotonic_ + 5 * kSecond);
    ASSERT_TRUE(proxy_->process().ok());
    EXPECT_EQ(received(6), "#7,AB;");

    // NTP or GPS sets the system time back an hour, then forward two.
    wall_ -= 3600 * kSecond;
    monotonic_ += kSecond;
    (void)proxy_->process();
    wall_ += 7200 * kSecond;
    monotonic_ += kSecond;
    (void)proxy_->process();
    EXPECT_EQ(received(), "") << "the command was sent again before its time limit";
    EXPECT_FALSE(logger_->contains("Timeout has passed."));

    // Ten seconds of monotonic time after the send: a timeout, and the command goes out again.
    monotonic_ += 8 * kSecond + 1;
    (void)proxy_->process();
    EXPECT_TRUE(logger_->contains("Timeout has passed."));
    (void)proxy_->process();
    EXPECT_EQ(received(6), "#7,AB;");

    // The queued command's expiry passed on the monotonic clock meanwhile.
    answer("#7,AB,1;");
    process_until_reply();
    ASSERT_EQ(replies_.size(), 1u);
    (void)proxy_->process();
    EXPECT_TRUE(logger_->contains("Removing expired command: #7,CD;"));
    EXPECT_EQ(received(), "");
}

}  // namespace
}  // namespace voxapp
