#include "app/application.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/fatal.hpp"
#include "app/heartbeat.hpp"
#include "app/service_registry.hpp"
#include "support/recording_logger.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

// A pass that asks for the next one at once.
constexpr Application::Wait kAtOnce = 0ms;

class ApplicationTest : public ::testing::Test {
protected:
    void TearDown() override {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
    }

    // Runs one application whose system clock reads seconds[0] at start and seconds[i + 1] in
    // the heartbeat check of pass i, stopping after the last value. Returns the heartbeat file
    // content after each of those checks.
    std::vector<std::string> run_passes(const std::vector<std::int64_t>& seconds,
                                        Application::Heartbeat heartbeat) {
        std::size_t pass = 0;
        std::vector<std::string> seen;
        Application* self = nullptr;
        Application::Clock clock{[&] { return seconds[std::min(pass, seconds.size() - 1)]; },
                                 [&] { return static_cast<std::int64_t>(pass) * 1'000'000; }};
        Application application(
            logger_, *loop_,
            [&](float) {
                if (pass > 0) {
                    seen.push_back(test::read_file(heartbeat.path));
                }
                if (pass + 1 == seconds.size()) {
                    self->stop();
                }
                ++pass;
                return kAtOnce;
            },
            heartbeat, clock);
        self = &application;
        EXPECT_EQ(application.run(), 0);
        seen.push_back(test::read_file(heartbeat.path));
        return seen;
    }

    std::shared_ptr<test::RecordingLogger> logger_ = std::make_shared<test::RecordingLogger>();
    std::unique_ptr<EventLoop> loop_ = std::make_unique<EventLoop>(*EventLoop::create());
    test::TempDir dir_;
};

// 1 700 000 000 is 2023-11-14 22:13:20 UTC.
constexpr std::int64_t kStart = 1'700'000'000;

TEST_F(ApplicationTest, HeartbeatIsRewrittenOnlyAfterMoreThanTheInterval) {
    const auto seen = run_passes({kStart, kStart + 60, kStart + 61, kStart + 100, kStart + 122},
                                 {dir_ / "heartbeat", 60});
    EXPECT_THAT(seen, ElementsAre("20231114221320", "20231114221421", "20231114221421",
                                  "20231114221522", "20231114221522"));
}

TEST_F(ApplicationTest, HeartbeatDisabledByZeroIntervalOrEmptyPath) {
    run_passes({kStart, kStart + 1000}, {dir_ / "off", 0});
    EXPECT_FALSE(std::filesystem::exists(dir_ / "off"));
    Application application(logger_, *loop_, {}, {"", 60});
    application.stop();
    EXPECT_EQ(application.run(), 0);
}

TEST_F(ApplicationTest, HeartbeatWriteFailureIsLoggedEachTime) {
    const std::string path = dir_ / "missing/heartbeat";
    run_passes({kStart, kStart + 61}, {path, 60});
    EXPECT_THAT(logger_->texts(),
                ElementsAre("Error writing heartbeat file: " + path,
                            "Error writing heartbeat file: " + path, "Done Application run..."));
}

TEST_F(ApplicationTest, PassWorkGetsTheElapsedSecondsClampedAtZero) {
    std::vector<std::int64_t> ticks = {5'000'000'000, 5'250'000'000, 5'000'000'000, 7'000'000'000};
    std::size_t tick = 0;
    std::vector<float> elapsed;
    Application* self = nullptr;
    Application application(
        logger_, *loop_,
        [&](float seconds) {
            elapsed.push_back(seconds);
            if (elapsed.size() == 3) {
                self->stop();
            }
            return kAtOnce;
        },
        {}, {[] { return kStart; }, [&] { return ticks[std::min(tick++, ticks.size() - 1)]; }});
    self = &application;
    EXPECT_EQ(application.run(), 0);
    EXPECT_THAT(elapsed, ElementsAre(0.25f, 0.0f, 2.0f));
}

TEST_F(ApplicationTest, StopSignalLogsBothLinesInOrder) {
    for (int signal_number : {SIGTERM, SIGINT}) {
        logger_->clear();
        int passes = 0;
        Application application(logger_, *loop_,
                                [&](float) {
                                    if (++passes == 2) {
                                        ::raise(signal_number);
                                    }
                                    return kAtOnce;
                                },
                                {});
        application.install_signal_handlers();
        EXPECT_EQ(application.run(), 0);
        EXPECT_EQ(passes, 2);
        EXPECT_THAT(logger_->texts(), ElementsAre("Received stop signal, stopping application...",
                                                  "Done Application run..."));
    }
}

// Nothing else wakes these loops: a pass that asks for no limit is followed only by a wake, and
// one that asks for the cadence gets its next pass when the wait runs out.
TEST_F(ApplicationTest, LoopWaitsAsLongAsThePassAllowsAndWakesForStop) {
    const auto run_bounded = [](Application& application) {
        auto finished = std::async(std::launch::async, [&] { return application.run(); });
        if (finished.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "the loop did not wake";
            application.stop();
        }
        return finished.get();
    };

    std::atomic<int> passes = 0;
    Application cadence(logger_, *loop_,
                        [&](float) -> Application::Wait {
                            if (++passes == 3) {
                                return std::nullopt;
                            }
                            return 10ms;
                        },
                        {});
    {
        // The third pass waits without limit: only the stop from another thread ends it.
        auto finished = std::async(std::launch::async, [&] { return cadence.run(); });
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (passes < 3 && std::chrono::steady_clock::now() < deadline &&
               finished.wait_for(1ms) != std::future_status::ready) {
        }
        EXPECT_EQ(passes, 3) << "a pass that asked for the cadence was not followed";
        cadence.stop();
        EXPECT_EQ(finished.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(finished.get(), 0);
    }

    // A stop signal that lands while the loop waits without limit, or just before the wait.
    for (int round = 0; round < 20; ++round) {
        std::thread signaller;
        Application waiting(logger_, *loop_,
                            [&](float) -> Application::Wait {
                                if (!signaller.joinable()) {
                                    signaller = std::thread([] { ::kill(::getpid(), SIGTERM); });
                                }
                                return std::nullopt;
                            },
                            {});
        waiting.install_signal_handlers();
        EXPECT_EQ(run_bounded(waiting), 0);
        signaller.join();
    }
}

TEST(NextPollTimeoutTest, ShorterOfDevicesAndHeartbeat) {
    EXPECT_EQ(next_poll_timeout(std::nullopt, std::nullopt), -1);
    EXPECT_EQ(next_poll_timeout(10ms, std::nullopt), 10);
    EXPECT_EQ(next_poll_timeout(std::nullopt, 61'000), 61'000);
    EXPECT_EQ(next_poll_timeout(10ms, 3), 3);
    EXPECT_EQ(next_poll_timeout(0ms, 61'000), 0);
}

TEST_F(ApplicationTest, SignalAfterTheApplicationIsGoneDoesNothing) {
    {
        Application application(logger_, *loop_, {}, {});
        application.install_signal_handlers();
    }
    ::raise(SIGTERM);  // the handler stays installed but has no application to stop
    SUCCEED();
}

TEST(HeartbeatFileTest, HoldsFourteenDigitsWithoutLineFeed) {
    test::TempDir dir;
    test::write_file(dir / "hb", "much longer previous content");
    ASSERT_TRUE(write_heartbeat_file(dir / "hb", kStart).ok());
    EXPECT_EQ(test::read_file(dir / "hb"), "20231114221320");
}

TEST(ServiceRegistryTest, CreatesOnceAndDestroysInReverseOrder) {
    std::vector<std::string> events;
    struct Traced {
        Traced(std::vector<std::string>& events, std::string name) : events(events), name(name) {
            events.push_back("create " + name);
        }
        ~Traced() { events.push_back("destroy " + name); }
        std::vector<std::string>& events;
        std::string name;
    };
    struct A : Traced {
        using Traced::Traced;
    };
    struct B : Traced {
        using Traced::Traced;
    };
    struct C : Traced {
        using Traced::Traced;
    };
    {
        ServiceRegistry registry;
        auto make_a = [&] { return std::make_shared<A>(events, "a"); };
        // C needs B, which needs A: the collaborators come first.
        auto c = registry.get<C>([&] {
            registry.get<B>([&] {
                registry.get<A>(make_a);
                return std::make_shared<B>(events, "b");
            });
            return std::make_shared<C>(events, "c");
        });
        EXPECT_EQ(registry.get<A>(make_a).get(), registry.get<A>(make_a).get());
    }
    EXPECT_THAT(events, ElementsAre("create a", "create b", "create c", "destroy c", "destroy b",
                                    "destroy a"));
}

TEST(FatalCreationDeathTest, ReportsErrnoOrMessage) {
    EXPECT_DEATH(abort_on_creation_failure("App::System::IO::EventLoop", Error::from_errno(24)),
                 "^FATAL: App::System::IO::EventLoop init failed with errno 24\n");
    EXPECT_DEATH(abort_on_creation_failure("X", Error::fixed("No device name configured")),
                 "^FATAL: X init failed: No device name configured\n");
}

}  // namespace
}  // namespace voxapp
