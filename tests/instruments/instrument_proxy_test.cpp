// The proxy's exchange on a real pseudo-terminal where the system test cannot look: a command
// the line takes only in part, and time limits under a wall clock that steps.

#include "instruments/instrument_proxy.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include "support/recording_logger.hpp"

namespace voxapp {
namespace {

constexpr TimePoint kSecond = 1'000'000'000;

class InstrumentProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[64];
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        fcntl(master_, F_SETFL, O_NONBLOCK);
        auto port = SerialDevice::open_port(name, "", logger_);
        ASSERT_TRUE(port.ok());
        Clocks clocks{[this] { return wall_; }, [this] { return monotonic_; }};
        proxy_ = std::make_shared<ModelInstrumentProxy>(std::move(*port), 42, 5, logger_,
                                                        InstrumentProxy::Services{},
                                                        InstrumentTiming{}, clocks);
    }
    void TearDown() override {
        proxy_.reset();
        close(master_);
        close(slave_);
    }
    void enqueue(const std::string& text, CommandExpiry expiry = std::nullopt) {
        proxy_->enqueue_command(
            text, [this](const std::string& reply) { replies_ += reply; }, expiry);
    }
    // What reaches the instrument's side within `bound_ms`, or once `expected` bytes are in.
    std::string received(std::size_t expected = 0, int bound_ms = 100) {
        std::string bytes;
        char buffer[65536];
        for (int waited = 0; waited < bound_ms && (expected == 0 || bytes.size() < expected);
             ++waited) {
            for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;) {
                bytes.append(buffer, static_cast<std::size_t>(n));
            }
            pollfd ready{master_, POLLIN, 0};
            poll(&ready, 1, 1);
        }
        return bytes;
    }
    void answer_and_process(const std::string& text) {
        ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        for (int i = 0; i < 200 && replies_.empty(); ++i, usleep(1000)) {
            (void)proxy_->process();
        }
    }

    int master_ = -1;
    int slave_ = -1;
    TimePoint wall_ = 1'700'000'000 * kSecond;
    TimePoint monotonic_ = 1'000 * kSecond;
    std::shared_ptr<test::RecordingLogger> logger_ = std::make_shared<test::RecordingLogger>();
    std::shared_ptr<InstrumentProxy> proxy_;
    std::string replies_;
};

TEST_F(InstrumentProxyTest, CommandTheLineTakesInPartGoesOnFromWhereItStoppedEvenAfterATimeout) {
    const std::string command = "#7,AB," + std::string(300'000, 'x') + ";";  // beyond the pty
    enqueue(command);
    ASSERT_TRUE(proxy_->process().ok());
    std::string arrived = received(1);
    ASSERT_LT(arrived.size(), command.size()) << "the line took the whole command at once";
    monotonic_ += 11 * kSecond;  // the time limit runs out half way
    for (int pass = 0; pass < 2000 && arrived.size() < command.size(); ++pass) {
        (void)proxy_->process();
        arrived += received(1, 1);
    }
    EXPECT_TRUE(logger_->contains("Timeout has passed."));
    arrived += received();
    EXPECT_EQ(arrived.size(), command.size());
    EXPECT_TRUE(arrived == command) << "a fragment followed by more than the rest";
    answer_and_process("#7,AB,1;");
    EXPECT_EQ(replies_, "#7,AB,1;");
}

TEST_F(InstrumentProxyTest, TimeLimitsAndExpiriesFollowTheMonotonicClockWhateverTheWallClockDoes) {
    enqueue("#7,AB;");
    enqueue("#7,CD;", monotonic_ + 5 * kSecond);
    ASSERT_TRUE(proxy_->process().ok());
    EXPECT_EQ(received(6), "#7,AB;");
    // The system time is set back an hour, then forward two, within two seconds.
    for (const TimePoint step : {-3600 * kSecond, 7200 * kSecond}) {
        wall_ += step;
        monotonic_ += kSecond;
        (void)proxy_->process();
    }
    EXPECT_EQ(received(), "");
    EXPECT_FALSE(logger_->contains("Timeout has passed."));
    monotonic_ += 8 * kSecond + 1;  // ten seconds after the send
    (void)proxy_->process();
    (void)proxy_->process();
    EXPECT_EQ(received(6), "#7,AB;");
    answer_and_process("#7,AB,1;");
    (void)proxy_->process();
    EXPECT_TRUE(logger_->contains("Removing expired command: #7,CD;"));
}

}  // namespace
}  // namespace voxapp
