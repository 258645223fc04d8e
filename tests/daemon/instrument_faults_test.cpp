// Instruments misbehaving the way field units do, one after another against one real daemon:
// unplugged in the middle of an exchange with a binary frame waiting for it, failing five times
// while it keeps talking and its reset fails, a line that stops taking bytes, a silent newcomer
// greeted while others work, and server links lost with replies pending or a binary transfer
// half done. Every other instrument must keep being served throughout, and the daemon must still
// stop cleanly at the end.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/instrument_rig.hpp"
#include "support/network_namespace.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kBound = 15s;
// What the instruments that behave are allowed for one answer while another misbehaves.
constexpr auto kPromptAnswer = 200ms;

// utime + stime of a process, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold blanks.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) {
            utime = std::stol(field);
        } else if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

// How often the main thread went to sleep and was woken since it started.
long main_thread_wakeups(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("voluntary_ctxt_switches:")) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

long line_count(const std::string& text) {
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

class InstrumentFaultsTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure() && rig_) {
            std::cout << rig_->diagnostics();
        }
    }

    SimInstrument& add(const std::string& tty, std::uint32_t serial, std::uint32_t unit_type,
                       const std::string& usb, bool present = true) {
        return rig_->add_instrument(tty, serial, unit_type, {"--usb", usb}, present);
    }
    // The server connection of every serial in `serials`, whatever order they come up in.
    bool find_links(const std::vector<std::uint32_t>& serials) {
        const auto deadline = Clock::now() + kBound;
        while (std::any_of(serials.begin(), serials.end(),
                           [this](std::uint32_t serial) { return !links_.contains(serial); })) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const auto connection = rig_->server().wait_for_established(left);
            if (!connection) {
                return false;
            }
            const auto reply = rig_->server().ask(*connection, "#1,N?;", kBound);
            if (reply && reply->text.starts_with("#1,N")) {
                links_[static_cast<std::uint32_t>(std::stoul(reply->text.substr(4)))] =
                    *connection;
            }
        }
        return true;
    }
    // One ASCII round trip to the well-behaved instrument; its time, or nullopt without the
    // expected answer.
    std::optional<std::chrono::milliseconds> round_trip() {
        const int id = next_id_++;
        const auto start = Clock::now();
        const auto reply = rig_->server().ask(links_.at(kSteady),
                                              ">" + std::to_string(id) + " #7,AB;", kBound);
        if (!reply || reply->id != id || reply->text != "#7,AB,1;") {
            return std::nullopt;
        }
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }
    bool logged(const std::string& text, std::chrono::milliseconds bound = kBound) {
        return rig_->daemon().wait_for_output(text, bound);
    }

    static constexpr std::uint32_t kSteady = 9101;
    std::unique_ptr<InstrumentRig> rig_;
    std::map<std::uint32_t, int> links_;
    int next_id_ = 1000;
};

TEST_F(InstrumentFaultsTest, OneInstrumentNeverStallsTheOthersAndTheDaemonStillStops) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    rig_ = std::make_unique<InstrumentRig>(InstrumentRig::Options{
        .timing = "instrument_reply_model=3000,instrument_reply_basic=300", .extra_settings = ""});
    SimInstrument& steady = add("ttyUSB0", kSteady, 105, "001/004");
    SimInstrument& unplugged = add("ttyUSB1", 9102, 105, "001/005");
    SimInstrument& stalled = add("ttyUSB2", 9103, 105, "001/006");
    SimInstrument& chatty = add("ttyUSB3", 9104, 100, "001/007");
    SimInstrument& dropped = add("ttyUSB4", 9105, 105, "001/008");
    SimInstrument& newcomer = add("ttyUSB5", 9106, 105, "001/009", false);
    ASSERT_TRUE(steady.run("on #7,AB => #7,AB,1;"));
    rig_->start_daemon();
    ASSERT_TRUE(find_links({kSteady, 9102, 9103, 9104, 9105}));
    ASSERT_TRUE(round_trip());
    SimServerProcess& server = rig_->server();
    const pid_t daemon = rig_->daemon().pid();

    // A silent newcomer is greeted while the others are served.
    ASSERT_TRUE(newcomer.run("hello off"));
    ASSERT_TRUE(newcomer.run("plug"));
    ASSERT_TRUE(logged("[DeviceManager] Sending hello to the device: /dev/ttyUSB5"));
    for (int i = 0; i < 3; ++i) {
        const auto time = round_trip();
        ASSERT_TRUE(time);
        EXPECT_LT(*time, kPromptAnswer) << "answer " << i << " during the greeting";
    }
    ASSERT_TRUE(logged("[DeviceManager] Failed to read the response for hello from /dev/ttyUSB5"));

    // Unplugged while its exchange holds the line and a binary frame waits for it.
    ASSERT_TRUE(unplugged.run("silent on"));
    server.send_line("@" + std::to_string(links_.at(9102)) + " >21 #7,UU;");
    ASSERT_TRUE(unplugged.wait_for("cmd #7,UU;", kBound));
    server.send_line(":use " + std::to_string(links_.at(9102)));
    server.send_line(":long 22 64");
    ASSERT_TRUE(logged("#9 found!"));
    ASSERT_TRUE(unplugged.run("unplug"));
    ASSERT_TRUE(logged("Removing an existing KELMARO device (tty: /dev/ttyUSB1, serial: 9102)"));
    EXPECT_TRUE(server.wait_for_closed(links_.at(9102), 5s));
    EXPECT_TRUE(round_trip()) << "the others are still answered after the unplug";

    // A line that stops taking bytes.
    ASSERT_TRUE(stalled.run("stall on"));
    server.send_line("@" + std::to_string(links_.at(9103)) + " >51 #7,LL;");
    ASSERT_TRUE(logged("Sending command (6 bytes): #7,LL;"));
    std::vector<std::chrono::milliseconds> times;
    for (int i = 0; i < 30; ++i) {
        const auto time = round_trip();
        ASSERT_TRUE(time);
        times.push_back(*time);
    }
    std::sort(times.begin(), times.end());
    EXPECT_LT(times[times.size() * 99 / 100], kPromptAnswer) << "p99 while a line is stalled";
    // Once the line moves again the command goes out whole, once, and is answered.
    ASSERT_TRUE(stalled.run("stall off"));
    ASSERT_TRUE(stalled.wait_for("cmd #7,LL;", kBound));
    const auto answer = server.wait_for_frame(links_.at(9103), kBound);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->id, 51);
    EXPECT_EQ(answer->text, "#7,?;");

    // Five failures in a row of an instrument that keeps talking and whose reset fails.
    ASSERT_TRUE(chatty.run("reenumerate off"));
    ASSERT_TRUE(chatty.run("silent on"));
    ASSERT_TRUE(chatty.run("chatter 20 #7,XX;"));
    server.send_line("@" + std::to_string(links_.at(9104)) + " >61 #7,CC;");
    ASSERT_TRUE(logged("Failed to communicate with the device 5 times in a row. Hard resetting "
                       "the device."));
    ASSERT_TRUE(chatty.wait_for("reset", kBound));
    const long ticks_before = cpu_ticks(daemon);
    const long lines_before = line_count(rig_->daemon().output());
    const auto window_start = Clock::now();
    std::this_thread::sleep_for(10s);  // a measuring window, not a wait for work
    const double seconds = std::chrono::duration<double>(Clock::now() - window_start).count();
    const double core_share =
        static_cast<double>(cpu_ticks(daemon) - ticks_before) / sysconf(_SC_CLK_TCK) / seconds;
    EXPECT_LT(core_share, 0.05);
    EXPECT_LT(line_count(rig_->daemon().output()) - lines_before, 40);
    EXPECT_TRUE(round_trip());
    ASSERT_TRUE(chatty.run("chatter 0"));

    // A link lost with commands queued: their replies never reach the next link.
    ASSERT_TRUE(dropped.run("silent on"));
    ASSERT_TRUE(dropped.run("on #7,MA => #7,MA,1;"));
    ASSERT_TRUE(dropped.run("on #7,MB => #7,MB,1;"));
    const std::string old_link = std::to_string(links_.at(9105));
    server.send_line("@" + old_link + " >71 #7,MA;");
    server.send_line("@" + old_link + " >72 #7,MB;");
    ASSERT_TRUE(dropped.wait_for("cmd #7,MA;", kBound));
    server.send_line(":drop " + old_link);
    ASSERT_TRUE(server.wait_for_closed(links_.at(9105), kBound));
    const auto new_link = server.wait_for_established(kBound);
    ASSERT_TRUE(new_link);
    ASSERT_TRUE(dropped.run("silent off"));
    // The command in flight is sent again after its time limit, then the queued one.
    ASSERT_TRUE(dropped.wait_for("tx #7,MB,1;", kBound));
    const auto first = server.ask(*new_link, ">73 #1,N?;", kBound);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id, 73) << "a reply of the old session reached the new link";
    EXPECT_EQ(first->text, "#1,N9105;");

    // A link lost in the middle of a binary transfer while the server stays away.
    server.send_line(":use " + std::to_string(*new_link));
    server.send_line(":long 81 400000 1000 100");
    ASSERT_TRUE(dropped.wait_for("cmd #9,1,", kBound));
    ASSERT_EQ(kill(server.pid(), SIGKILL), 0);
    ASSERT_TRUE(logged("Binary transfer abandoned: the link closed before its end", 5s));
    const long wakeups_before = main_thread_wakeups(daemon);
    const auto idle_start = Clock::now();
    std::this_thread::sleep_for(2s);  // a measuring window, not a wait for work
    const double idle_seconds = std::chrono::duration<double>(Clock::now() - idle_start).count();
    EXPECT_LT((main_thread_wakeups(daemon) - wakeups_before) / idle_seconds, 30.0)
        << "wake-ups a second of the main loop while the server is away";
    ASSERT_TRUE(dropped.run("send #7,MM;"));
    bool read = false;
    for (const auto deadline = Clock::now() + kBound; !read && Clock::now() < deadline;) {
        ASSERT_TRUE(dropped.run("unread"));
        const auto unread = dropped.wait_for("unread ", kBound);
        read = unread && *unread == "unread 0";
    }
    EXPECT_TRUE(read) << "the instrument's line is read while the server is away";

    rig_->daemon().send_signal(SIGTERM);
    EXPECT_EQ(rig_->daemon().wait_for_exit(5s), 0);
}

}  // namespace
}  // namespace voxapp::test
