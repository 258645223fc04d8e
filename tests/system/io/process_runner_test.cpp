#include "system/io/process_runner.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "system/io/io_test_support.hpp"

namespace voxapp {
namespace {

using test::poll_until;
using test::TestPipe;

class ProcessRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto created = EventLoop::create();
        ASSERT_TRUE(created.ok());
        loop.emplace(std::move(*created));
    }

    ProcessRunner make_runner() {
        auto runner = ProcessRunner::create(*loop);
        EXPECT_TRUE(runner.ok()) << (runner.ok() ? "" : runner.error().message_text());
        return std::move(*runner);
    }

    // Runs `command` and polls until its callback; the exit code, or nullopt on timeout.
    std::optional<int> run_to_end(ProcessRunner& runner, const std::string& command) {
        std::optional<int> code;
        EXPECT_TRUE(runner.run(command, [&code](int exit_code) { code = exit_code; }).ok());
        EXPECT_TRUE(poll_until(*loop, [&] { return code.has_value(); }));
        return code;
    }

    std::optional<EventLoop> loop;
};

TEST_F(ProcessRunnerTest, ReportsExitStatusKillingSignalAndMissingCommand) {
    ProcessRunner runner = make_runner();
    EXPECT_EQ(run_to_end(runner, "exit 3"), 3);
    EXPECT_EQ(run_to_end(runner, "kill -9 $$"), -9);
    EXPECT_EQ(run_to_end(runner, "/nonexistent/voxapp-missing-command"), 127);
    EXPECT_FALSE(runner.has_running_children());
}

TEST_F(ProcessRunnerTest, ChildStandardStreamsAreTheNullDevice) {
    ProcessRunner runner = make_runner();
    EXPECT_EQ(run_to_end(runner,
                         "echo out; echo err >&2; "
                         "for n in 0 1 2; do "
                         "[ \"$(readlink /proc/$$/fd/$n)\" = /dev/null ] || exit 1; done"),
              0);
}

// Each child reports its pid through an inherited pipe, and the test waits (without reaping)
// until both are zombies, so that a single drain has to reap both.
TEST_F(ProcessRunnerTest, ChildrenEndingTogetherAreReapedInOneDrainInAscendingPidOrder) {
    ProcessRunner runner = make_runner();
    TestPipe report(0);  // inherited by the children
    std::vector<int> codes;
    for (int code : {11, 12}) {
        const std::string command = "echo \"$$ " + std::to_string(code) + "\" >&" +
                                    std::to_string(report.write_end) + "; exit " +
                                    std::to_string(code);
        ASSERT_TRUE(
            runner.run(command, [&codes](int exit_code) { codes.push_back(exit_code); }).ok());
    }
    report.close_write();
    std::string text;
    char buffer[64];
    for (ssize_t n; (n = read(report.read_end, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    std::map<pid_t, int> code_by_pid;
    std::istringstream lines(text);
    for (pid_t pid; lines >> pid;) {
        lines >> code_by_pid[pid];
    }
    ASSERT_EQ(code_by_pid.size(), 2u);
    for (const auto& [pid, code] : code_by_pid) {
        siginfo_t info{};
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    }

    ASSERT_TRUE(loop->poll(5000).ok());
    std::vector<int> expected;
    for (const auto& [pid, code] : code_by_pid) {
        expected.push_back(code);
    }
    EXPECT_EQ(codes, expected);
    EXPECT_FALSE(runner.has_running_children());
}

// SIGCHLD wakes every runner; one whose own child is still running must leave the ended child
// of another runner alone.
TEST_F(ProcessRunnerTest, RunnersReapOnlyTheirOwnChildren) {
    ProcessRunner first = make_runner();
    ProcessRunner second = make_runner();
    TestPipe hold(0);  // the held child reads until the test closes the write end
    ASSERT_EQ(fcntl(hold.write_end, F_SETFD, FD_CLOEXEC), 0);
    std::vector<int> first_codes;
    std::vector<int> second_codes;
    auto to = [](std::vector<int>& codes) { return [&codes](int code) { codes.push_back(code); }; };
    ASSERT_TRUE(
        // dash takes only descriptors 0-9 after "<&"; the path form reaches any number.
        first
            .run("read line < /dev/fd/" + std::to_string(hold.read_end) + "; exit 8",
                 to(first_codes))
            .ok());
    ASSERT_TRUE(second.run("exit 6", to(second_codes)).ok());
    siginfo_t info{};
    ASSERT_EQ(waitid(P_ALL, 0, &info, WEXITED | WNOWAIT), 0);  // second's child, not reaped

    first.on_readable();
    EXPECT_TRUE(first_codes.empty());
    EXPECT_TRUE(first.has_running_children());
    ASSERT_TRUE(poll_until(*loop, [&] { return !second_codes.empty(); }));
    EXPECT_EQ(second_codes, std::vector<int>{6});
    EXPECT_TRUE(first_codes.empty());

    hold.close_write();
    ASSERT_TRUE(poll_until(*loop, [&] { return !first_codes.empty(); }));
    EXPECT_EQ(first_codes, std::vector<int>{8});
    EXPECT_EQ(second_codes, std::vector<int>{6});
    EXPECT_FALSE(first.has_running_children());
}

TEST_F(ProcessRunnerTest, CallbackMayStartTheNextCommand) {
    ProcessRunner runner = make_runner();
    std::vector<int> codes;
    ASSERT_TRUE(
        runner
            .run("exit 1",
                 [&](int code) {
                     codes.push_back(code);
                     EXPECT_FALSE(runner.has_running_children());
                     EXPECT_TRUE(
                         runner.run("exit 7", [&codes](int next) { codes.push_back(next); }).ok());
                 })
            .ok());
    ASSERT_TRUE(poll_until(*loop, [&] { return codes.size() == 2; }));
    EXPECT_EQ(codes, (std::vector<int>{1, 7}));
    EXPECT_FALSE(runner.has_running_children());
}

TEST_F(ProcessRunnerTest, SeventeenthRunnerIsRefusedUntilASlotIsFree) {
    std::vector<ProcessRunner> runners;
    for (int i = 0; i < ProcessRunner::kMaxInstances; ++i) {
        runners.push_back(make_runner());
    }
    auto refused = ProcessRunner::create(*loop);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "Too many ProcessRunner instances");

    runners.pop_back();
    ProcessRunner replacement = make_runner();
    EXPECT_EQ(run_to_end(replacement, "exit 4"), 4);
    EXPECT_EQ(run_to_end(runners.front(), "exit 2"), 2);
}

TEST_F(ProcessRunnerTest, MovedRunnerKeepsItsChildrenAndRegistration) {
    std::optional<ProcessRunner> original(make_runner());
    std::optional<int> code;
    ASSERT_TRUE(original->run("exit 9", [&code](int exit_code) { code = exit_code; }).ok());
    ProcessRunner moved(std::move(*original));
    original.reset();
    EXPECT_EQ(moved.event_loop(), &*loop);
    EXPECT_TRUE(moved.has_running_children());
    ASSERT_TRUE(poll_until(*loop, [&] { return code.has_value(); }));
    EXPECT_EQ(code, 9);
}

TEST_F(ProcessRunnerTest, RunWithoutEventLoopFails) {
    ProcessRunner runner = make_runner();
    loop.reset();
    auto started = runner.run("exit 0", nullptr);
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().message(), "Not registered with event loop");
}

TEST_F(ProcessRunnerTest, ChildReapedElsewhereReportsMinusOne) {
    ProcessRunner runner = make_runner();
    std::optional<int> code;
    ASSERT_TRUE(runner.run("exit 5", [&code](int exit_code) { code = exit_code; }).ok());
    int status = 0;
    ASSERT_GT(waitpid(-1, &status, 0), 0);
    ASSERT_TRUE(poll_until(*loop, [&] { return code.has_value(); }));
    EXPECT_EQ(code, -1);
    EXPECT_FALSE(runner.has_running_children());
}

TEST_F(ProcessRunnerTest, DestructionDiscardsPendingCallbacks) {
    bool called = false;
    {
        ProcessRunner runner = make_runner();
        ASSERT_TRUE(runner.run("exit 0", [&called](int) { called = true; }).ok());
    }
    int status = 0;
    ASSERT_GT(waitpid(-1, &status, 0), 0);  // the child ended and nobody else reaped it
    EXPECT_EQ(*loop->poll(0), 0);
    EXPECT_FALSE(called);
}

}  // namespace
}  // namespace voxapp
