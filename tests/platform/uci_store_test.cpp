#include "platform/uci_store.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/uci_access.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

const std::string kSystemFile =
    "\n"
    "config system\n"
    "\toption hostname 'OpenWrt'\n"
    "\toption log_size '64'\n"
    "\toption zoneName 'Europe/Berlin'\n"
    "\toption timezone 'CET-1CEST,M3.5.0,M10.5.0/3'\n"
    "\n"
    "config timeserver 'ntp'\n"
    "\toption enabled '1'\n"
    "\tlist server '0.openwrt.pool.ntp.org'\n"
    "\tlist server '1.openwrt.pool.ntp.org'\n";

const std::string kNetworkFile =
    "config interface 'loopback'\n"
    "\toption device 'lo'\n"
    "config globals 'globals'\n"
    "\toption ula_prefix 'fd12::/48'\n"
    "config interface 'lan'\n"
    "\toption proto 'static'\n"
    "config interface\n"
    "\toption proto 'dhcp'\n";

std::string message_of(const Status& status) {
    return status.ok() ? "<ok>" : status.error().message_text();
}

template <typename T>
std::string message_of(const Result<T>& result) {
    return result.ok() ? "<ok>" : result.error().message_text();
}

class UciStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(dir / "system", kSystemFile);
        write_file(dir / "network", kNetworkFile);
    }

    std::string get(UciContext& context, const std::string& path) {
        auto value = uci_get_string(&context, path);
        return value.ok() ? *value : "<error> " + value.error().message_text();
    }

    TempDir dir;
    UciStore store{dir.path()};
};

TEST_F(UciStoreTest, FindsNamedSectionsAndSectionsByTypeAndIndex) {
    EXPECT_EQ(get(store, "system.@system[0].hostname"), "OpenWrt");
    EXPECT_EQ(get(store, "system.@system[-1].zoneName"), "Europe/Berlin");
    EXPECT_EQ(get(store, "system.ntp.enabled"), "1");
    EXPECT_EQ(get(store, "system.@timeserver[0].enabled"), "1");
    EXPECT_EQ(get(store, "network.@interface[0].device"), "lo");
    EXPECT_EQ(get(store, "network.@interface[1].proto"), "static");
    EXPECT_EQ(get(store, "network.@interface[2].proto"), "dhcp");
    EXPECT_EQ(get(store, "network.@interface[-1].proto"), "dhcp");
    EXPECT_EQ(get(store, "network.@interface[-3].device"), "lo");
    EXPECT_EQ(get(store, "network.lan.proto"), "static");
    EXPECT_EQ(get(store, "network.@globals[0].ula_prefix"), "fd12::/48");
}

TEST_F(UciStoreTest, GetStringErrorTexts) {
    write_file(dir / "broken", "config system\n\toption a 'open\n");
    const std::pair<std::string, std::string> cases[] = {
        {"nosuch.a.b", "Failed to lookup UCI pointer for path: nosuch.a.b"},
        {"network.@interface[3].proto",
         "Failed to lookup UCI pointer for path: network.@interface[3].proto"},
        {"network.@interface[-4].proto",
         "Failed to lookup UCI pointer for path: network.@interface[-4].proto"},
        {"network.@nosuch[0].proto",
         "Failed to lookup UCI pointer for path: network.@nosuch[0].proto"},
        {"", "Failed to lookup UCI pointer for path: "},
        {"system..hostname", "Failed to lookup UCI pointer for path: system..hostname"},
        {"system.@system.hostname",
         "Failed to lookup UCI pointer for path: system.@system.hostname"},
        {"system.@system[x].hostname",
         "Failed to lookup UCI pointer for path: system.@system[x].hostname"},
        {"system.a.b.c", "Failed to lookup UCI pointer for path: system.a.b.c"},
        {"../system.@system[0].hostname",
         "Failed to lookup UCI pointer for path: ../system.@system[0].hostname"},
        {"broken.@system[0].a", "Failed to lookup UCI pointer for path: broken.@system[0].a (" +
                                    dir.path() + "/broken: line 2: unterminated single quote)"},
        {"system.@system[0].missing", "UCI option not found for path: system.@system[0].missing"},
        {"system.nosuch.hostname", "UCI option not found for path: system.nosuch.hostname"},
        {"system.ntp", "UCI option not found for path: system.ntp"},
        {"system", "UCI option not found for path: system"},
        {"system.ntp.server", "UCI option is not a string type for path: system.ntp.server"},
    };
    for (const auto& [path, message] : cases) {
        EXPECT_EQ(get(store, path), "<error> " + message);
    }
}

TEST_F(UciStoreTest, GetIntAcceptsOnlyAWholeSigned32BitNumber) {
    write_file(dir / "numbers",
               "config n\n\toption a '-12'\n\toption b '+7'\n\toption c ' 5'\n\toption d '5x'\n"
               "\toption e ''\n\toption f '2147483648'\n\toption g '-2147483648'\n");
    auto value = [&](const std::string& option) -> std::string {
        auto number = uci_get_int(&store, "numbers.@n[0]." + option);
        return number.ok() ? std::to_string(*number) : number.error().message_text();
    };
    EXPECT_EQ(value("a"), "-12");
    EXPECT_EQ(value("b"), "7");
    EXPECT_EQ(value("c"), "Failed to parse integer from string:  5");
    EXPECT_EQ(value("d"), "Failed to parse integer from string: 5x");
    EXPECT_EQ(value("e"), "Failed to parse integer from string: ");
    EXPECT_EQ(value("f"), "Failed to parse integer from string: 2147483648");
    EXPECT_EQ(value("g"), "-2147483648");
    EXPECT_EQ(value("missing"), "UCI option not found for path: numbers.@n[0].missing");
    EXPECT_EQ(*uci_get_int(&store, "system.@system[0].log_size"), 64);
}

TEST_F(UciStoreTest, SetCommitRevertAndTransactionErrorTexts) {
    EXPECT_EQ(message_of(uci_set(&store, "nosuch.a.b", "x")),
              "Failed to lookup UCI pointer for path: nosuch.a.b");
    EXPECT_EQ(message_of(uci_set(&store, "system.nosuch.b", "x")),
              "Failed to set UCI value for path: system.nosuch.b");
    EXPECT_EQ(message_of(uci_set(&store, "system.ntp", "x")),
              "Failed to set UCI value for path: system.ntp");
    EXPECT_EQ(message_of(uci_set(&store, "system.ntp.enabled", "1\nconfig evil")),
              "Failed to set UCI value for path: system.ntp.enabled (the value contains a "
              "control character)");
    EXPECT_EQ(message_of(uci_commit(&store, "nosuch")), "Failed to lookup UCI package: nosuch");
    EXPECT_EQ(message_of(uci_revert(&store, "nosuch")), "Failed to lookup UCI package: nosuch");
    EXPECT_EQ(message_of(uci_commit(&store, "../etc")), "Failed to lookup UCI package: ../etc");

    // The section that a change was made in is gone when the commit reads the file again.
    ASSERT_TRUE(uci_set(&store, "system.ntp.enabled", "0").ok());
    write_file(dir / "system", "config system\n\toption hostname 'OpenWrt'\n");
    EXPECT_EQ(
        message_of(uci_commit(&store, "system")),
        "Failed to commit UCI package: system (" + dir.path() + "/system: section ntp is gone)");
    EXPECT_EQ(read_file(dir / "system"), "config system\n\toption hostname 'OpenWrt'\n");

    const char* kNoContext = "UCI context is not initialized";
    EXPECT_EQ(message_of(uci_get_string(nullptr, "system.ntp.enabled")), kNoContext);
    EXPECT_EQ(message_of(uci_get_int(nullptr, "system.ntp.enabled")), kNoContext);
    EXPECT_EQ(message_of(uci_set(nullptr, "system.ntp.enabled", "1")), kNoContext);
    EXPECT_EQ(message_of(uci_commit(nullptr, "system")), kNoContext);
    EXPECT_EQ(message_of(uci_revert(nullptr, "system")), kNoContext);
    EXPECT_EQ(message_of(uci_transaction(nullptr, "system", [](UciContext*) { return Status(); })),
              kNoContext);
}

TEST_F(UciStoreTest, ChangesStayInTheContextUntilCommitted) {
    ASSERT_TRUE(uci_set(&store, "system.@system[0].zoneName", "Europe/O'Brien").ok());
    ASSERT_TRUE(uci_set(&store, "system.ntp.server", "pool.example").ok());
    ASSERT_TRUE(uci_set(&store, "system.@system[0].new_option", "new").ok());
    EXPECT_EQ(get(store, "system.@system[0].zoneName"), "Europe/O'Brien");
    EXPECT_EQ(get(store, "system.ntp.server"), "pool.example");

    UciStore other(dir.path());
    EXPECT_EQ(get(other, "system.@system[0].zoneName"), "Europe/Berlin");
    EXPECT_EQ(read_file(dir / "system"), kSystemFile);

    ASSERT_TRUE(uci_commit(&store, "system").ok());
    EXPECT_EQ(read_file(dir / "system"),
              "\n"
              "config system\n"
              "\toption hostname 'OpenWrt'\n"
              "\toption log_size '64'\n"
              "\toption zoneName 'Europe/O'\\''Brien'\n"
              "\toption timezone 'CET-1CEST,M3.5.0,M10.5.0/3'\n"
              "\toption new_option 'new'\n"
              "\n"
              "config timeserver 'ntp'\n"
              "\toption enabled '1'\n"
              "\toption server 'pool.example'\n");
    UciStore fresh(dir.path());
    EXPECT_EQ(get(fresh, "system.@system[0].zoneName"), "Europe/O'Brien");
}

TEST_F(UciStoreTest, RevertDropsChangesAndLeavesTheFileAlone) {
    struct stat before {};
    ASSERT_EQ(stat((dir / "system").c_str(), &before), 0);
    ASSERT_TRUE(uci_set(&store, "system.@system[0].hostname", "changed").ok());
    ASSERT_TRUE(uci_revert(&store, "system").ok());
    EXPECT_EQ(get(store, "system.@system[0].hostname"), "OpenWrt");
    ASSERT_TRUE(uci_commit(&store, "system").ok());

    struct stat after {};
    ASSERT_EQ(stat((dir / "system").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(read_file(dir / "system"), kSystemFile);
}

TEST_F(UciStoreTest, CommitRenamesAWholeFileIntoPlace) {
    ASSERT_EQ(chmod((dir / "system").c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(stat((dir / "system").c_str(), &before), 0);
    const int watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch_fd, 0);
    ASSERT_GE(inotify_add_watch(watch_fd, dir.path().c_str(), IN_CLOSE_WRITE | IN_MOVED_TO), 0);

    ASSERT_TRUE(uci_set(&store, "system.@system[0].hostname", "router").ok());
    ASSERT_TRUE(uci_commit(&store, "system").ok());

    std::vector<std::pair<std::uint32_t, std::string>> seen;
    pollfd ready{watch_fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 5000), 1);
    alignas(inotify_event) char buffer[4096];
    const ssize_t got = read(watch_fd, buffer, sizeof buffer);
    ASSERT_GT(got, 0);
    for (ssize_t offset = 0; offset < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        seen.emplace_back(event->mask, event->len > 0 ? event->name : "");
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    close(watch_fd);

    // The package file is never written in place: only the temporary file is closed after
    // writing, and the package name only appears by rename.
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), std::make_pair(std::uint32_t{IN_MOVED_TO}, std::string("system")));
    for (const auto& [mask, name] : seen) {
        if (mask == IN_CLOSE_WRITE) {
            EXPECT_TRUE(name.starts_with(".system.uci-")) << name;
        }
    }
    struct stat after {};
    ASSERT_EQ(stat((dir / "system").c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"network", "system"}));
}

TEST_F(UciStoreTest, CommitKeepsWhatOthersWroteMeanwhile) {
    ASSERT_TRUE(uci_set(&store, "system.@system[0].zoneName", "Asia/Tokyo").ok());
    UciStore web_interface(dir.path());
    ASSERT_TRUE(uci_set(&web_interface, "system.@system[0].hostname", "gateway").ok());
    ASSERT_TRUE(uci_commit(&web_interface, "system").ok());

    ASSERT_TRUE(uci_commit(&store, "system").ok());
    UciStore fresh(dir.path());
    EXPECT_EQ(get(fresh, "system.@system[0].zoneName"), "Asia/Tokyo");
    EXPECT_EQ(get(fresh, "system.@system[0].hostname"), "gateway");
}

TEST_F(UciStoreTest, TransactionCommitsOrRevertsItsEdits) {
    Status failed = uci_transaction(&store, "system", [](UciContext* context) -> Status {
        if (Status set = uci_set(context, "system.@system[0].zoneName", "Asia/Tokyo"); !set) {
            return set;
        }
        return uci_set(context, "system.nosuch.zoneName", "Asia/Tokyo");
    });
    EXPECT_EQ(message_of(failed), "Failed to set UCI value for path: system.nosuch.zoneName");
    EXPECT_EQ(get(store, "system.@system[0].zoneName"), "Europe/Berlin");
    ASSERT_TRUE(uci_commit(&store, "system").ok());
    EXPECT_EQ(read_file(dir / "system"), kSystemFile);

    Status done = uci_transaction(&store, "system", [](UciContext* context) {
        return uci_set(context, "system.@system[0].zoneName", "Asia/Tokyo");
    });
    ASSERT_TRUE(done.ok()) << message_of(done);
    UciStore fresh(dir.path());
    EXPECT_EQ(get(fresh, "system.@system[0].zoneName"), "Asia/Tokyo");
}

TEST(UciAccessTest, SystemContextIsUnderVoxappRoot) {
    TempDir root;
    test::write_file_with_parents(root / "etc/config/system", kSystemFile);
    const char* previous = std::getenv("VOXAPP_ROOT");
    const std::optional<std::string> saved =
        previous ? std::optional<std::string>(previous) : std::nullopt;
    setenv("VOXAPP_ROOT", root.path().c_str(), 1);

    auto value = uci_get_string("system.@system[0].zoneName");
    Status changed = uci_transaction("system", [](UciContext* context) {
        return uci_set(context, "system.@system[0].hostname", "relocated");
    });

    if (saved) {
        setenv("VOXAPP_ROOT", saved->c_str(), 1);
    } else {
        unsetenv("VOXAPP_ROOT");
    }
    EXPECT_EQ(message_of(value), "<ok>");
    EXPECT_EQ(value.ok() ? *value : "", "Europe/Berlin");
    EXPECT_TRUE(changed.ok()) << message_of(changed);
    EXPECT_NE(read_file(root / "etc/config/system").find("option hostname 'relocated'"),
              std::string::npos);
}

}  // namespace
}  // namespace voxapp
