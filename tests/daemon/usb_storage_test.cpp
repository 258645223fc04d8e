#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "support/daemon_process.hpp"
#include "support/log_text.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kBound = 10s;

// Runs a command to completion; its exit status, or -1.
int run(const std::vector<std::string>& words) {
    ChildProcess child(words.front(), {words.begin() + 1, words.end()}, {});
    return child.wait_for_exit(kBound).value_or(-1);
}

// A USB stick appears and goes away while the daemon runs in a mount namespace of its own: the
// log file follows it, and the storage lines are logged where the log is at that moment.
TEST(UsbStorageTest, LogFileMovesToTheStickAndBack) {
    if (geteuid() != 0) {
        if (std::getenv("CI") != nullptr) {
            FAIL() << "mounting a test storage needs root (CI is set)";
        }
        GTEST_SKIP() << "mounting a test storage needs root";
    }
    DaemonRoot root;
    root.write_settings("usb_relative_log_path=logs/deep/voxapp.log\n");
    const std::string stick = root / "mnt/usb";
    std::filesystem::create_directories(stick);

    std::vector<std::string> words = {"-m", "--propagation", "private"};
    for (const auto& word : daemon_command(root.executable())) {
        words.push_back(word);
    }
    ChildProcess daemon("/usr/bin/unshare", words, {{"VOXAPP_ROOT", root.path()}});
    ASSERT_TRUE(daemon.wait_for_output("Starting KELM VOX", kBound)) << daemon.errors();
    ASSERT_TRUE(daemon.wait_for_signal_handler(SIGTERM, kBound));
    const std::string pid = std::to_string(daemon.pid());

    ASSERT_EQ(
        run({"/usr/bin/nsenter", "-t", pid, "-m", "mount", "-t", "ramfs", "/dev/sdz1", stick}), 0);
    const std::string mounted = "[INFO] Mounted USB: /dev/sdz1 on " + stick + " (0B/0B)";
    ASSERT_TRUE(daemon.wait_for_output(mounted, kBound)) << daemon.output();

    // The daemon's view of the stick, through its own root.
    const std::string on_stick = "/proc/" + pid + "/root" + stick + "/logs/deep";
    struct stat info {};
    ASSERT_EQ(::stat(on_stick.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(std::filesystem::exists(on_stick + "/voxapp.log"));

    ASSERT_EQ(run({"/usr/bin/nsenter", "-t", pid, "-m", "umount", "-l", stick}), 0);
    ASSERT_TRUE(daemon.wait_for_output("[INFO] Unmounted USB: /dev/sdz1", kBound));
    daemon.send_signal(SIGTERM);
    ASSERT_EQ(daemon.wait_for_exit(kBound), 0);

    const std::string internal = read_file(root / "var/log/voxapp.log");
    const std::string back =
        "Switched logging to internal storage at: " + root.path() + "/var/log/voxapp.log";
    // Once at start and once when the stick left.
    int switches = 0;
    for (const std::string& line : unstamped_lines(internal)) {
        switches += line == " [INFO] " + back ? 1 : 0;
    }
    EXPECT_EQ(switches, 2) << internal;
    EXPECT_THAT(internal, Not(HasSubstr(mounted)));  // that line went to the stick
    EXPECT_THAT(internal, HasSubstr("[INFO] Unmounted USB: /dev/sdz1 on " + stick));
}

}  // namespace
}  // namespace voxapp::test
