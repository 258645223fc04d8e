// The time zone service on real UCI files under a VOXAPP_ROOT directory, with its restart
// script, its event loop and the inotify monitor.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/system_time_zone_monitor.hpp"
#include "platform/time_zone_service.hpp"
#include "platform/uci_time_zone_backend.hpp"
#include "support/recording_logger.hpp"
#include "support/temp_dir.hpp"
#include "system/events/system_events.hpp"
#include "system/io/event_loop.hpp"

namespace voxapp {
namespace {

using test::read_file;
using test::write_file;

std::string system_file(const std::string& zone_name, const std::string& hostname = "OpenWrt") {
    return "\n"
           "config system\n"
           "\toption hostname '" +
           hostname +
           "'\n"
           "\toption timezone 'CET-1CEST,M3.5.0,M10.5.0/3'\n"
           "\toption zoneName '" +
           zone_name +
           "'\n"
           "\n"
           "config timeserver 'ntp'\n"
           "\tlist server '0.openwrt.pool.ntp.org'\n";
}

const std::string kNtpclientFile =
    "\n"
    "config ntpclient 'ntpclient'\n"
    "\toption interval '600'\n"
    "\toption zoneName 'Europe/Berlin'\n";

// True when no child process of this test exists any more, zombies included. Nothing else in
// these tests starts children, so any child is one the backend started.
bool no_children() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

class TimeZoneUciTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* previous = std::getenv("VOXAPP_ROOT")) {
            saved_root_ = previous;
        }
        setenv("VOXAPP_ROOT", root.path().c_str(), 1);
        test::write_file_with_parents(root / "etc/config/system", system_file("Europe/Berlin"));
        write_file(root / "etc/config/ntpclient", kNtpclientFile);
        install_restart_script();
        auto created = EventLoop::create();
        ASSERT_TRUE(created.ok());
        loop.emplace(std::move(*created));
        dispatcher = *EventDispatcher::create();
        dispatcher->subscribe<TimeZoneChanged>(
            [this](const TimeZoneChanged& event) { events.push_back(event.time_zone); });
    }

    void TearDown() override {
        monitor.reset();
        service.reset();
        if (saved_root_) {
            setenv("VOXAPP_ROOT", saved_root_->c_str(), 1);
        } else {
            unsetenv("VOXAPP_ROOT");
        }
    }

    // Stands in for the router's init script: records its argument, then its pid and parent.
    void install_restart_script() {
        const std::string dir = root / "etc/init.d";
        test::write_file_with_parents(dir + "/system",
                                      "#!/bin/sh\n"
                                      "echo \"$1\" >> '" +
                                          dir +
                                          "/restart.log'\n"
                                          "echo \"$$ $PPID\" > '" +
                                          dir +
                                          "/pids.tmp'\n"
                                          "mv '" +
                                          dir + "/pids.tmp' '" + dir + "/restart.pids'\n");
        ASSERT_EQ(chmod((dir + "/system").c_str(), 0755), 0);
    }

    void make_service() {
        TimeZoneTable table{{"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3"},
                            {"Asia/Tokyo", "JST-9"},
                            {"Bad/Zone", "BAD\x01"},
                            {"UTC", "UTC0"}};
        auto created = UciTimeZoneBackend::create(*loop, std::move(table), logger);
        ASSERT_TRUE(created.ok()) << created.error().message_text();
        backend = std::move(*created);
        auto made = TimeZoneService::create(backend, dispatcher);
        ASSERT_TRUE(made.ok());
        service = std::move(*made);
    }

    void start_monitor() {
        auto created = SystemTimeZoneMonitor::create(logger, service);
        ASSERT_TRUE(created.ok()) << created.error().code();
        monitor = std::move(*created);
        ASSERT_TRUE(loop->add(*monitor).ok());
    }

    template <typename Done>
    bool poll_until(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline || !loop->poll(50).ok()) {
                return false;
            }
        }
        return true;
    }

    // Waits until the restart script has run and its process has been reaped by the backend:
    // the child of this process (the shell, or the script when the shell exec'd it) is gone,
    // not left as a zombie.
    bool wait_for_reaped_restart() {
        const std::string pids_path = root / "etc/init.d/restart.pids";
        if (!poll_until([&] { return !read_file(pids_path).empty(); })) {
            return false;
        }
        std::istringstream pids(read_file(pids_path));
        pid_t script = 0;
        pid_t parent = 0;
        pids >> script >> parent;
        const pid_t child = parent == getpid() ? script : parent;
        return poll_until([&] { return kill(child, 0) == -1 && errno == ESRCH; });
    }

    bool logged(LogLevel level, const std::string& text) const {
        for (const auto& [line_level, line] : logger->lines()) {
            if (line_level == level && line == text) {
                return true;
            }
        }
        return false;
    }

    int count_logged(const std::string& text) const {
        int count = 0;
        for (const std::string& line : logger->texts()) {
            count += line == text ? 1 : 0;
        }
        return count;
    }

    test::TempDir root;
    std::optional<EventLoop> loop;
    std::shared_ptr<test::RecordingLogger> logger = std::make_shared<test::RecordingLogger>();
    std::shared_ptr<EventDispatcher> dispatcher;
    std::shared_ptr<UciTimeZoneBackend> backend;
    std::shared_ptr<TimeZoneService> service;
    std::unique_ptr<SystemTimeZoneMonitor> monitor;
    std::vector<std::string> events;

private:
    std::optional<std::string> saved_root_;
};

TEST_F(TimeZoneUciTest, ChangeWritesBothPackagesThenRestartsTheSystemAndReapsIt) {
    make_service();
    ASSERT_EQ(*service->current_time_zone(), "Europe/Berlin");

    ASSERT_TRUE(service->change_time_zone("Asia/Tokyo").ok());

    // libuci ends a file with a blank line, the daemon's own store does not.
    const auto content = [](const std::string& path) {
        std::string text = read_file(path);
        while (text.ends_with("\n\n")) {
            text.pop_back();
        }
        return text;
    };
    EXPECT_EQ(content(root / "etc/config/system"),
              "\n"
              "config system\n"
              "\toption hostname 'OpenWrt'\n"
              "\toption timezone 'JST-9'\n"
              "\toption zoneName 'Asia/Tokyo'\n"
              "\n"
              "config timeserver 'ntp'\n"
              "\tlist server '0.openwrt.pool.ntp.org'\n");
    EXPECT_EQ(content(root / "etc/config/ntpclient"),
              "\n"
              "config ntpclient 'ntpclient'\n"
              "\toption interval '600'\n"
              "\toption zoneName 'Asia/Tokyo'\n");
    EXPECT_EQ(events, std::vector<std::string>{"Asia/Tokyo"});
    EXPECT_EQ(*service->current_time_zone(), "Asia/Tokyo");
    EXPECT_EQ(*backend->current_time_zone(), "Asia/Tokyo");

    ASSERT_TRUE(wait_for_reaped_restart());
    EXPECT_EQ(read_file(root / "etc/init.d/restart.log"), "restart\n");
    EXPECT_TRUE(no_children());
    EXPECT_TRUE(logger->lines().empty());
}

TEST_F(TimeZoneUciTest, SameOrUnknownNameTouchesNothing) {
    make_service();
    struct stat before {};
    ASSERT_EQ(stat((root / "etc/config/system").c_str(), &before), 0);

    EXPECT_TRUE(service->change_time_zone("Europe/Berlin").ok());
    Status unknown = service->change_time_zone("Mars/Olympus");
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error().message(), "Unknown IANA timezone: Mars/Olympus");

    struct stat after {};
    ASSERT_EQ(stat((root / "etc/config/system").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(read_file(root / "etc/config/system"), system_file("Europe/Berlin"));
    EXPECT_EQ(read_file(root / "etc/config/ntpclient"), kNtpclientFile);
    EXPECT_TRUE(no_children());
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(*service->current_time_zone(), "Europe/Berlin");
}

TEST_F(TimeZoneUciTest, EmptyZoneNameIsUtcAndMissingOneLeavesTheCacheEmpty) {
    write_file(root / "etc/config/system", system_file(""));
    make_service();
#if VOXAPP_HAVE_LIBUCI
    // libuci drops an option with an empty value when it reads the file: it is absent.
    EXPECT_EQ(*service->current_time_zone(), "");
#else
    EXPECT_EQ(*service->current_time_zone(), "UTC");
#endif

    write_file(root / "etc/config/system", "config system\n\toption hostname 'OpenWrt'\n");
    make_service();
    EXPECT_EQ(*service->current_time_zone(), "");
    auto current = backend->current_time_zone();
    ASSERT_FALSE(current.ok());
    EXPECT_EQ(current.error().message(),
              "UCI option not found for path: system.@system[0].zoneName");
}

TEST_F(TimeZoneUciTest, FailedSystemEditIsRevertedAndNothingElseHappens) {
    make_service();
    Status failed = service->change_time_zone("Bad/Zone");
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(),
              "Failed to set UCI value for path: system.@system[0].timezone (the value contains "
              "a control character)");
    EXPECT_EQ(read_file(root / "etc/config/system"), system_file("Europe/Berlin"));
    EXPECT_EQ(read_file(root / "etc/config/ntpclient"), kNtpclientFile);
    EXPECT_TRUE(no_children());
    EXPECT_TRUE(events.empty());
}

TEST_F(TimeZoneUciTest, FailedNtpclientStepKeepsTheCommittedSystemPackage) {
    ASSERT_EQ(unlink((root / "etc/config/ntpclient").c_str()), 0);
    make_service();
    Status failed = service->change_time_zone("Asia/Tokyo");
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(),
              "Failed to lookup UCI pointer for path: ntpclient.ntpclient.zoneName");
    EXPECT_EQ(*backend->current_time_zone(), "Asia/Tokyo");
    EXPECT_EQ(*service->current_time_zone(), "Europe/Berlin");
    EXPECT_TRUE(no_children());
    EXPECT_TRUE(events.empty());
}

TEST_F(TimeZoneUciTest, FailingRestartIsLoggedAndTheChangeStands) {
    ASSERT_EQ(unlink((root / "etc/init.d/system").c_str()), 0);
    make_service();
    ASSERT_TRUE(service->change_time_zone("Asia/Tokyo").ok());
    EXPECT_EQ(events, std::vector<std::string>{"Asia/Tokyo"});
    ASSERT_TRUE(poll_until([&] { return !logger->lines().empty(); }));
    EXPECT_TRUE(logged(LogLevel::warning, "System restart exited with code 127"));
    EXPECT_TRUE(no_children());
}

TEST_F(TimeZoneUciTest, MonitorPublishesAnOutsideChangeOnceAndIgnoresOtherWrites) {
    make_service();
    start_monitor();
    EXPECT_TRUE(logged(LogLevel::info, "SystemTimeZoneMonitor started."));

    write_file(root / "etc/config/network", "config interface 'lan'\n");
    write_file(root / "etc/config/system", system_file("Asia/Tokyo"));
    ASSERT_TRUE(poll_until([&] { return !events.empty(); }));
    EXPECT_TRUE(logged(LogLevel::info,
                       "Timezone value changed from 'Europe/Berlin' to 'Asia/Tokyo'. Notifying "
                       "TimeZoneService."));

    // A rewrite of "system" that keeps the zone (the hostname changes) publishes nothing.
    write_file(root / "etc/config/system", system_file("Asia/Tokyo", "gateway"));
    const std::string unchanged = "File 'system' was modified, but timezone value did not change.";
    ASSERT_TRUE(poll_until([&] { return logged(LogLevel::debug, unchanged); }));
    EXPECT_EQ(count_logged("Detected filesystem activity on 'system' config file."), 2);
    EXPECT_EQ(events, std::vector<std::string>{"Asia/Tokyo"});
    EXPECT_EQ(*service->current_time_zone(), "Asia/Tokyo");
    EXPECT_TRUE(no_children());
}

TEST_F(TimeZoneUciTest, MonitorSeesTheServicesOwnCommitWithoutASecondEvent) {
    make_service();
    start_monitor();
    ASSERT_TRUE(service->change_time_zone("Asia/Tokyo").ok());
    const std::string reported =
        "Timezone value changed from 'Europe/Berlin' to 'Asia/Tokyo'. Notifying TimeZoneService.";
    ASSERT_TRUE(poll_until([&] { return logged(LogLevel::info, reported); }));
    ASSERT_TRUE(wait_for_reaped_restart());
    EXPECT_EQ(events, std::vector<std::string>{"Asia/Tokyo"});
}

TEST_F(TimeZoneUciTest, MonitorLogsUnreadableConfigurationAndKeepsWatching) {
    write_file(root / "etc/config/system", "config system\n\toption hostname 'OpenWrt'\n");
    make_service();
    start_monitor();

    write_file(root / "etc/config/system", "config system\n\toption zoneName 'Asia\n");
    // The detail in parentheses is the UCI library's own description of the fault.
    const std::string failure =
        "Failed to read timezone value from UCI: Failed to lookup UCI pointer for path: "
        "system.@system[0].zoneName (";
    ASSERT_TRUE(poll_until([&] {
        for (const auto& [level, line] : logger->lines()) {
            if (level == LogLevel::error && line.starts_with(failure) && line.ends_with(")")) {
                return true;
            }
        }
        return false;
    }));

    write_file(root / "etc/config/system", system_file("Asia/Tokyo"));
    ASSERT_TRUE(poll_until([&] { return !events.empty(); }));
    EXPECT_TRUE(logged(LogLevel::info,
                       "Timezone value changed from 'unknown' to 'Asia/Tokyo'. Notifying "
                       "TimeZoneService."));
    EXPECT_EQ(events, std::vector<std::string>{"Asia/Tokyo"});

    monitor->on_error();
    EXPECT_TRUE(logged(LogLevel::error,
                       "SystemTimeZoneMonitor encountered an error on the file descriptor."));
}

TEST_F(TimeZoneUciTest, MonitorCannotStartWithoutTheConfigurationDirectory) {
    make_service();
    std::filesystem::remove_all(root / "etc/config");
    auto created = SystemTimeZoneMonitor::create(logger, service);
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error().code(), ENOENT);
}

#ifdef VOXAPP_UCI_TOOL_PATH
// The router's own "uci" program on the same root: what the daemon commits is what the router's
// tools read, and what they commit is what the daemon notices.
class UciToolTest : public TimeZoneUciTest {
protected:
    std::string uci(const std::string& arguments) {
        const std::string command = std::string(VOXAPP_UCI_TOOL_PATH) + " -c '" +
                                    (root / "etc/config") + "' -t '" + (root / "tmp/.uci") + "' " +
                                    arguments + " 2>&1";
        std::FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return "popen failed";
        }
        std::string output;
        char buffer[256];
        std::size_t count;
        while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            output.append(buffer, count);
        }
        const int status = pclose(pipe);
        return status == 0 ? output : "exit " + std::to_string(status) + ": " + output;
    }
};

TEST_F(UciToolTest, TheUciProgramReadsWhatTheServiceCommittedWithTheRestIntact) {
    make_service();
    ASSERT_TRUE(service->change_time_zone("Asia/Tokyo").ok());
    EXPECT_EQ(uci("get system.@system[0].zoneName"), "Asia/Tokyo\n");
    EXPECT_EQ(uci("get system.@system[0].timezone"), "JST-9\n");
    EXPECT_EQ(uci("get system.@system[0].hostname"), "OpenWrt\n");
    EXPECT_EQ(uci("get system.ntp.server"), "0.openwrt.pool.ntp.org\n");
    EXPECT_EQ(uci("get ntpclient.ntpclient.zoneName"), "Asia/Tokyo\n");
    EXPECT_EQ(uci("get ntpclient.ntpclient.interval"), "600\n");
    ASSERT_TRUE(wait_for_reaped_restart());
}

TEST_F(UciToolTest, AChangeCommittedWithTheUciProgramIsNoticedOnce) {
    make_service();
    start_monitor();
    ASSERT_EQ(uci("set system.@system[0].zoneName=Asia/Tokyo"), "");
    ASSERT_EQ(uci("commit system"), "");
    ASSERT_TRUE(poll_until([&] { return !events.empty(); }));
    EXPECT_EQ(events, std::vector<std::string>{"Asia/Tokyo"});
    EXPECT_EQ(*service->current_time_zone(), "Asia/Tokyo");
    EXPECT_EQ(uci("get system.@system[0].hostname"), "OpenWrt\n");
}
#endif

}  // namespace
}  // namespace voxapp
