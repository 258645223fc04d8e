// Instruments failing as field units do, one after another against one daemon: the others keep
// being served throughout, and the daemon still stops cleanly at the end.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>
#include <vector>

#include "support/instrument_rig.hpp"
#include "support/network_namespace.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kBound = 15s;
constexpr auto kPrompt = 200ms;  // an answer of a well-behaved instrument meanwhile

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
// CPU seconds of a process (utime + stime).
double cpu_seconds(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    unsigned long user = 0, system = 0;
    std::sscanf(stat.c_str() + stat.rfind(')') + 2,
                "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system);
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
// How often the main thread has been woken from a wait.
long wakeups(pid_t pid) {
    const std::string status =
        slurp("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/status");
    return std::atol(status.c_str() + status.find("voluntary_ctxt_switches:") + 24);
}

class InstrumentFaultsTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure()) {
            std::cout << rig_->diagnostics();
        }
    }
    SimInstrument& add(int n, std::uint32_t unit_type, bool present = true) {
        return rig_->add_instrument("ttyUSB" + std::to_string(n), 9100 + n, unit_type,
                                    {"--usb", "001/00" + std::to_string(4 + n)}, present);
    }
    // The connections of instruments 0 to `count` - 1, in whatever order they come up.
    bool find_links(int count) {
        while (links_.size() < static_cast<std::size_t>(count)) {
            const auto connection = rig_->server().wait_for_established(kBound);
            const auto reply =
                connection ? rig_->server().ask(*connection, "#1,N?;", kBound) : std::nullopt;
            if (!reply) {
                return false;
            }
            links_[std::atoi(reply->text.c_str() + 4) - 9100] = *connection;
        }
        return true;
    }
    void send(int n, const std::string& line) {
        rig_->server().send_line("@" + std::to_string(links_.at(n)) + " " + line);
    }
    // One round trip to the well-behaved instrument 0; its time, or an hour without its answer.
    std::chrono::milliseconds round_trip() {
        const int id = next_id_++;
        const auto start = Clock::now();
        const auto reply =
            rig_->server().ask(links_.at(0), ">" + std::to_string(id) + " #7,AB;", 5s);
        return reply && reply->id == id && reply->text == "#7,AB,1;"
                   ? std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                   : std::chrono::milliseconds(3600s);
    }
    bool logged(const std::string& text, std::chrono::milliseconds bound = kBound) {
        return rig_->daemon().wait_for_output(text, bound);
    }

    std::unique_ptr<InstrumentRig> rig_;
    std::map<int, int> links_;
    int next_id_ = 1000;
};

TEST_F(InstrumentFaultsTest, OneInstrumentNeverStallsTheOthersAndTheDaemonStillStops) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    rig_ = std::make_unique<InstrumentRig>(InstrumentRig::Options{
        .timing = "instrument_reply_model=3000,instrument_reply_basic=300", .extra_settings = ""});
    SimInstrument& steady = add(0, 105);
    SimInstrument& unplugged = add(1, 105);
    SimInstrument& stalled = add(2, 105);
    SimInstrument& chatty = add(3, 100);
    SimInstrument& dropped = add(4, 105);
    SimInstrument& newcomer = add(5, 105, false);
    ASSERT_TRUE(steady.run("on #7,AB => #7,AB,1;"));
    rig_->start_daemon();
    ASSERT_TRUE(find_links(5));
    SimServerProcess& server = rig_->server();
    const pid_t daemon = rig_->daemon().pid();

    // A silent newcomer is greeted while the others are asked.
    ASSERT_TRUE(newcomer.run("hello off") && newcomer.run("plug"));
    ASSERT_TRUE(logged("[DeviceManager] Sending hello to the device: /dev/ttyUSB5"));
    ASSERT_LT(std::max(round_trip(), round_trip()), kPrompt);
    ASSERT_TRUE(logged("[DeviceManager] Failed to read the response for hello from /dev/ttyUSB5"));

    // Unplugged while its exchange holds the line and a binary frame waits for that.
    ASSERT_TRUE(unplugged.run("silent on"));
    send(1, ">21 #7,UU;");
    ASSERT_TRUE(unplugged.wait_for("cmd #7,UU;", kBound));
    server.send_line(":use " + std::to_string(links_.at(1)));
    server.send_line(":long 22 40000");  // streamed, not queued as a command
    ASSERT_TRUE(logged("#9 found!"));
    ASSERT_TRUE(unplugged.run("unplug"));
    ASSERT_TRUE(server.wait_for_closed(links_.at(1), 5s));
    ASSERT_LT(round_trip(), kPrompt);

    // A line that stops taking bytes; once it moves again the command goes out once, whole.
    ASSERT_TRUE(stalled.run("stall on"));
    send(2, ">51 #7,LL;");
    ASSERT_TRUE(logged("Sending command (6 bytes): #7,LL;"));
    std::vector<std::chrono::milliseconds> times;
    while (times.size() < 100 && (times.empty() || times.back() < 1s)) {
        times.push_back(round_trip());
    }
    std::sort(times.begin(), times.end());
    ASSERT_LT(times[std::min<std::size_t>(times.size() - 1, 98)], kPrompt) << "p99 of 100";
    ASSERT_TRUE(stalled.run("stall off"));
    const auto answer = server.wait_for_frame(links_.at(2), kBound);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->id, 51);
    EXPECT_EQ(answer->text, "#7,?;");

    // Five failures in a row of an instrument that keeps talking and whose reset fails.
    ASSERT_TRUE(chatty.run("reenumerate off") && chatty.run("silent on"));
    ASSERT_TRUE(chatty.run("chatter 20 #7,XX;"));
    send(3, ">61 #7,CC;");
    ASSERT_TRUE(logged("Failed to communicate with the device 5 times in a row."));
    ASSERT_TRUE(chatty.wait_for("reset", kBound));
    const double cpu_before = cpu_seconds(daemon);
    const std::size_t log_before = rig_->daemon().output().size();
    std::this_thread::sleep_for(10s);  // a measuring window
    ASSERT_LT(cpu_seconds(daemon) - cpu_before, 0.5) << "5 % of a core over 10 s";
    const std::string logged_since = rig_->daemon().output().substr(log_before);
    ASSERT_LT(std::count(logged_since.begin(), logged_since.end(), '\n'), 40);
    EXPECT_LT(round_trip(), kPrompt);
    ASSERT_TRUE(chatty.run("chatter 0"));

    // A link lost with commands queued: their replies never reach the next link.
    ASSERT_TRUE(dropped.run("silent on") && dropped.run("on #7,MA => #7,MA,1;"));
    ASSERT_TRUE(dropped.run("on #7,MB => #7,MB,1;"));
    send(4, ">71 #7,MA;");
    send(4, ">72 #7,MB;");
    ASSERT_TRUE(dropped.wait_for("cmd #7,MA;", kBound));
    server.send_line(":drop " + std::to_string(links_.at(4)));
    const auto link = server.wait_for_established(kBound);
    ASSERT_TRUE(link && dropped.run("silent off"));
    // The command in flight goes out again at its time limit, then the queued one.
    ASSERT_TRUE(dropped.wait_for("cmd #7,MB;", kBound));
    const auto first = server.ask(*link, ">73 #1,N?;", kBound);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->id, 73) << "a reply of the old session reached the new link";

    // A link lost in the middle of a binary transfer while the server stays away.
    server.send_line(":use " + std::to_string(*link));
    server.send_line(":long 81 400000 1000 100");
    ASSERT_TRUE(dropped.wait_for("cmd #9,1,", kBound));
    ASSERT_EQ(kill(server.pid(), SIGKILL), 0);
    ASSERT_TRUE(logged("[9104] Binary transfer abandoned: the link closed before its end", 5s));
    const long wakeups_before = wakeups(daemon);
    std::this_thread::sleep_for(2s);  // a measuring window
    EXPECT_LT(wakeups(daemon) - wakeups_before, 60) << "main loop wake-ups in 2 s";
    ASSERT_TRUE(dropped.run("send #7,MM;"));
    std::optional<std::string> unread;
    for (auto end = Clock::now() + kBound; unread != "unread 0" && Clock::now() < end;) {
        unread = dropped.run("unread") ? dropped.wait_for("unread ", kBound) : std::nullopt;
    }
    EXPECT_EQ(unread, "unread 0") << "the instrument's line is read while the server is away";

    rig_->daemon().send_signal(SIGTERM);
    EXPECT_EQ(rig_->daemon().wait_for_exit(5s), 0);
}

}  // namespace
}  // namespace voxapp::test
