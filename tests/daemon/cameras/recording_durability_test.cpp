// A recording must arrive whole and once whatever happens on its way. One daemon, the camera on
// the simulated LAN, the RTSP client's stand-in and an FTP peer that breaks uploads on demand,
// driven through the faults in turn: a resumed upload cut again, two requests with one start, a
// client that never ends, a USB stick mounted mid-download, a stop and a kill of the daemon
// before the upload. The daemon runs in this test's own network and mount namespaces.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

#include "core/time_point.hpp"
#include "daemon/cameras/camera_lan.hpp"
#include "sim_ftp/ftp_peer.hpp"
#include "support/instrument_rig.hpp"
#include "support/network_namespace.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kBound = 30s;
constexpr std::uint32_t kRouterSerial = 4321;
constexpr std::int64_t kSecond = 1'000'000'000;
constexpr const char* kFtpUser = "voxftp";
constexpr const char* kFtpPassword = "ftp-pass";

std::string pattern(std::size_t size, int salt) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(salt) * 7) % 251);
    }
    return bytes;
}

// Whether `pid` still runs (a zombie nobody reaped yet does not).
bool running(const std::string& pid) {
    const std::string stat = read_file("/proc/" + pid + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

class RecordingDurabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            if (isolation_is_required()) {
                FAIL() << "mounting a test storage needs root (CI is set)";
            }
            GTEST_SKIP() << "mounting a test storage needs root";
        }
        VOXAPP_ENTER_PRIVATE_NETWORK();
        // Mounts made here stay in this thread's namespace and the daemon's, started from it.
        ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        auto lan = CameraLan::create();
        ASSERT_TRUE(lan) << lan.error().message_text();
        lan_ = std::move(*lan);
        sim::SimCamera::Options camera;
        camera.address = "192.168.77.20";
        auto started = lan_->start_camera(camera);
        ASSERT_TRUE(started) << started.error().message_text();
        camera_ = std::move(*started);
        auto ftp = sim::FtpPeer::start(kFtpUser, kFtpPassword, ftp_home_.path());
        ASSERT_TRUE(ftp) << ftp.error().code();
        ftp_ = std::move(*ftp);

        InstrumentRig::Options options;
        // Retries a second apart leave a restarted daemon time to find its camera again.
        options.timing = "recording_retry=1000,recording_attempt_margin=1500";
        options.extra_settings = "min_logging_level=debug\nftp_address=" + ftp_->address() +
                                 "\ncamera_credentials=admin:" + camera.password + "\n";
        rig_ = std::make_unique<InstrumentRig>(options);
        rig_->set_working_directory(work_.path());
        fs::create_directories(work_.path() + "/resources/camera");
        fs::copy_file(std::string(VOXAPP_SOURCE_DIR) + "/resources/camera/constant_recording.xml",
                      work_.path() + "/resources/camera/constant_recording.xml");
        client_ = rig_->root() / "root/app/openRTSP";
        fs::copy_file(VOXAPP_RTSP_STANDIN_PATH, client_);
        // Hours that ended long ago on every clock involved.
        start_ = (system_now() / kSecond - 6 * 3600) * kSecond;
        camera_->set_recordings({sim::SimRecording{start_, start_ + 5 * 3600 * kSecond}});
    }
    void TearDown() override {
        if (HasFailure() && rig_) {
            std::cout << "--- earlier daemons ---\n" << earlier_output_ << rig_->diagnostics();
        }
        if (!stick_.empty()) {
            ::umount2(stick_.c_str(), MNT_DETACH);
        }
    }

    void start_daemon() {
        if (started_) {
            earlier_output_ += rig_->daemon().output();
        }
        started_ = true;
        rig_->start_daemon();
        const auto link = rig_->connection_of(kRouterSerial, kBound);
        ASSERT_TRUE(link);
        router_ = *link;
        ASSERT_EQ(reply_to("#7,SN,D,C,1," + std::string(kFtpUser) + "," + kFtpPassword + ";"),
                  "#7,SN,D;");
        ASSERT_TRUE(logged("Camera went online (ID: "));
    }
    // The recording of `length_s` seconds from `offset_s` after the test's first hour; its
    // content is what the client's stand-in writes for that length.
    std::string request(std::int64_t offset_s, std::int64_t length_s, const std::string& content) {
        write_file(client_ + ".content." + std::to_string(length_s), content);
        const TimePoint at = start_ + (3600 + offset_s) * kSecond;
        return reply_to("#7,SN,T,C," + format_local_time_point(at, "%Y-%m-%d %H:%M:%S") + "," +
                        std::to_string(length_s) + ";");
    }
    // request() with the client's run held until the hold file goes; that run's process id.
    std::string request_held(std::int64_t offset_s, std::int64_t length_s,
                             const std::string& content) {
        write_file(client_ + ".hold", "");
        const std::size_t runs = client_runs().size();
        EXPECT_EQ(request(offset_s, length_s, content), "#7,SN,T,0;");
        return wait_until([&] { return client_runs().size() > runs; }) ? client_runs()[runs] : "";
    }
    // The file name of the recording from `offset_s`, with `tail` after its start time.
    std::string name(std::int64_t offset_s, const std::string& tail = ".MP4") const {
        const TimePoint at = start_ + (3600 + offset_s) * kSecond;
        return "208-4321-" + format_local_time_point(at, "%Y%m%d_%H_%M_%S") + tail;
    }
    std::string remote(std::int64_t offset_s, int video_id) const {
        return name(offset_s, "_VID" + std::to_string(video_id) + ".MP4");
    }

    template <typename Predicate>
    bool wait_until(Predicate done) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        for (; !done(); std::this_thread::sleep_for(20ms)) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
        }
        return true;
    }
    bool logged(const std::string& text, std::size_t times = 1) {
        return rig_->daemon().wait_for_output(text, kBound, times);
    }
    std::size_t count(const std::string& text) const {
        return rig_->daemon().count_in_output(text);
    }
    std::string reply_to(const std::string& frame_line) {
        const auto reply = rig_->server().ask(router_, frame_line, kBound);
        return reply ? reply->text : "(no reply)";
    }
    // The process ids of the client's runs so far.
    std::vector<std::string> client_runs() const {
        std::istringstream lines(read_file(client_ + ".pids"));
        return {std::istream_iterator<std::string>(lines), std::istream_iterator<std::string>()};
    }
    bool arrived(const std::string& name, const std::string& content) {
        return wait_until([&] { return read_file(ftp_home_.path() + "/" + name) == content; });
    }

    TempDir work_;
    TempDir ftp_home_;
    std::unique_ptr<CameraLan> lan_;
    std::unique_ptr<sim::SimCamera> camera_;
    std::unique_ptr<sim::FtpPeer> ftp_;
    std::unique_ptr<InstrumentRig> rig_;
    std::string client_;
    std::string stick_;
    std::string earlier_output_;
    bool started_ = false;
    int router_ = 0;
    TimePoint start_ = 0;
};

TEST_F(RecordingDurabilityTest, EveryAcceptedRecordingArrivesWholeAndOnce) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const std::string hold = client_ + ".hold";

    // Two requests with one start, the second while the first downloads: each file keeps its
    // own bytes. The first upload is dropped after 50 000 bytes and its resume cut again with
    // a 426, the kind of failure curl's own retries would append a second time.
    const std::string minute = pattern(200'000, 1);
    const std::string hour = pattern(300'000, 2);
    ftp_->plan_cut(remote(0, 1) + ".tmp", 50'000, sim::FtpPeer::Cut::drop);
    ftp_->plan_cut(remote(0, 1) + ".tmp", 50'000, sim::FtpPeer::Cut::reply_426);
    ASSERT_FALSE(request_held(0, 60, minute).empty());
    EXPECT_EQ(request(0, 3600, hour), "#7,SN,T,0;");
    fs::remove(hold);
    ASSERT_TRUE(logged("[CurlFtpFilePublisher] Resuming upload from 50000 to 200000"));
    ASSERT_TRUE(logged("[RecordingService] Upload complete: ", 2));
    EXPECT_TRUE(arrived(remote(0, 1), minute));
    EXPECT_TRUE(arrived(remote(0, 2), hour));
    // The second cut failed the attempt; the next one resumed from what the server holds.
    EXPECT_TRUE(logged("[CurlFtpFilePublisher] Resuming upload from 100000 to 200000"));

    // A client that never ends is killed after the recording's length and the margin; one that
    // ends well but writes nothing has failed too; the attempt after them delivers.
    const std::string stuck = request_held(7200, 2, "");
    ASSERT_TRUE(logged("[RecordingService] Download attempt timed out: " + name(7200)));
    fs::remove(hold);
    ASSERT_TRUE(logged("openRTSP left no recording in "));
    write_file(client_ + ".content.2", "two seconds");
    EXPECT_TRUE(arrived(remote(7200, 3), "two seconds"));
    EXPECT_TRUE(wait_until([&] { return !running(stuck); }));

    // A USB stick mounted while the download runs: the recording stays where it was written.
    stick_ = rig_->root() / "mnt/usb";
    fs::create_directories(stick_);
    const std::string stick_minutes = pattern(120'000, 3);
    ASSERT_FALSE(request_held(9000, 120, stick_minutes).empty());
    ASSERT_EQ(::mount("/dev/sdz1", stick_.c_str(), "ramfs", 0, nullptr), 0);
    ASSERT_TRUE(logged("Mounted USB: /dev/sdz1 on " + stick_));
    fs::remove(hold);
    EXPECT_TRUE(arrived(remote(9000, 4), stick_minutes));
    EXPECT_EQ(count("[RecordingService] Download complete: " + name(9000)), 1u);
    ASSERT_EQ(::umount2(stick_.c_str(), MNT_DETACH), 0);
    stick_.clear();
    ASSERT_TRUE(logged("Unmounted USB: /dev/sdz1"));

    // Stopped mid-download: the client goes with the daemon, the request comes back with it.
    const std::string half_minute = pattern(30'000, 4);
    const std::string stopped = request_held(10800, 30, half_minute);
    ASSERT_FALSE(stopped.empty());
    rig_->daemon().send_signal(SIGTERM);
    ASSERT_TRUE(rig_->daemon().wait_for_exit(kBound));
    // Signalled with the daemon's stop; it may take a moment to go.
    EXPECT_TRUE(wait_until([&] { return !running(stopped); }));
    fs::remove(hold);
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    EXPECT_TRUE(arrived(remote(10800, 5), half_minute));

    // Killed between download and upload (no FTP account yet): uploaded once after the
    // restart, under the video id it was given.
    ASSERT_EQ(reply_to("#7,SN,D,C,0;"), "#7,SN,D;");
    const std::string forty = pattern(40'000, 5);
    EXPECT_EQ(request(12600, 40, forty), "#7,SN,T,0;");
    ASSERT_TRUE(logged("[RecordingService] Upload failed: Failed to get client credentials"));
    rig_->daemon().send_signal(SIGKILL);
    ASSERT_TRUE(rig_->daemon().wait_for_exit(kBound));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    EXPECT_TRUE(arrived(remote(12600, 6), forty));
    EXPECT_EQ(count("[RecordingService] Downloading: "), 0u);

    // Once each, nothing half-done left on the server, and the router's RAM given back.
    ASSERT_TRUE(logged("[RecordingService] Upload complete: " + remote(12600, 6)));
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(ftp_home_.path()))
        names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{remote(0, 1), remote(0, 2), remote(7200, 3),
                                            remote(9000, 4), remote(10800, 5), remote(12600, 6)}));
    EXPECT_TRUE(fs::is_empty(rig_->root() / "tmp/camera"));
}

}  // namespace
}  // namespace voxapp::test
