#include "support/router_unit_session.hpp"

#include <filesystem>

#include "support/temp_dir.hpp"

namespace voxapp::test {

namespace {

namespace fs = std::filesystem;

constexpr const char* kInitScript =
    "#!/bin/sh\n"
    "here=$(cd \"$(dirname \"$0\")/../..\" && pwd)\n"
    "mkdir -p \"$here/tmp\"\n"
    "echo \"$*\" >>\"$here/tmp/init.d-system.calls\"\n";

constexpr const char* kLiveFix =
    "latitude=46.5\nlongitude=14.25\naltitude=295.5\nspeed=1.25\naccuracy=3.5\nsatellites=9\n"
    "fix_type=2\ntimestamp=now\n";

}  // namespace

void prepare_server_link(const DaemonRoot& root, std::uint16_t port,
                         const ServerLinkSettings& settings) {
    const std::string timeout = std::to_string(settings.idle_timeout_seconds);
    root.write_settings("remote_address=127.0.0.1\nremote_port=" + std::to_string(port) +
                        "\nremote_timeout=" + timeout +
                        "\nremote_address_rd=127.0.0.1\nremote_port_rd=" + std::to_string(port) +
                        "\nremote_timeout_rd=" + timeout +
                        "\nlogging_depth=data\nheartbeat_interval=0\n"
                        "component=remote_connection:true\n" +
                        settings.extra_settings);
    write_file(root.app_dir() + "/numberOfDevices", "0");
    write_file_with_parents(root / "etc/init.d/system", kInitScript);
    fs::permissions(root / "etc/init.d/system", fs::perms::owner_all);
    fs::create_directories(root / "tmp");
}

void write_gps_fix(const DaemonRoot& root, const std::string& lines) {
    const std::string path = root / "tmp/voxapp-gps-fix";
    if (lines.empty()) {
        fs::remove(path);
        return;
    }
    write_file_with_parents(path + ".new", lines);
    fs::rename(path + ".new", path);
}

RouterUnitSession::RouterUnitSession(const ServerLinkSettings& settings)
    : server_(std::make_unique<SimServerProcess>(
          std::vector<std::string>{root_.app_dir() + "/cert/ca.crt"})) {
    prepare_server_link(root_, server_->port(), settings);
    write_gps_fix(root_, kLiveFix);
    bus_ = std::make_unique<UbusRig>(root_.path());
    daemon_.emplace(root_.executable(), std::vector<std::string>{},
                    std::map<std::string, std::string>{{"VOXAPP_ROOT", root_.path()}});
}

RouterUnitSession::~RouterUnitSession() {
    // The daemon first: the simulator then sees its links end, not the other way round.
    daemon_.reset();
    server_.reset();
    bus_.reset();
}

bool RouterUnitSession::wait_until_connected(std::chrono::milliseconds timeout) {
    const auto id = server_->wait_for_established(timeout);
    if (id) {
        connection_ = *id;
    }
    return id.has_value();
}

std::optional<SimLine> RouterUnitSession::ask(const std::string& frame_line,
                                              std::chrono::milliseconds timeout) {
    return server_->ask(connection_, frame_line, timeout);
}

std::string RouterUnitSession::diagnostics() const {
    return "--- daemon console ---\n" + daemon_->output() + "--- daemon errors ---\n" +
           daemon_->errors() + "--- simulator ---\n" + server_->transcript();
}

}  // namespace voxapp::test
