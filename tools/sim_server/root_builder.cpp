#include "sim_server/root_builder.hpp"

#include <filesystem>
#include <fstream>

#include "sim_server/throwaway_pki.hpp"

namespace voxapp::sim {

namespace {

namespace fs = std::filesystem;

constexpr const char* kInitScript =
    "#!/bin/sh\n"
    "# Stands in for the router's init script, which the daemon runs after a time zone change:\n"
    "# each call is recorded, with its arguments, beside the simulated GPS fix.\n"
    "here=$(cd \"$(dirname \"$0\")/../..\" && pwd)\n"
    "mkdir -p \"$here/tmp\"\n"
    "echo \"$*\" >>\"$here/tmp/init.d-system.calls\"\n";

Status write(const fs::path& path, const std::string& content,
             fs::perms perms = fs::perms::owner_read | fs::perms::owner_write |
                               fs::perms::group_read | fs::perms::others_read) {
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    // Written beside and renamed into place: the daemon may be reading the file (the GPS fix).
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out.flush()) {
            return Error::owned("cannot write " + temporary.string());
        }
    }
    fs::permissions(temporary, perms, error);
    fs::rename(temporary, path, error);
    if (error) {
        return Error::owned("cannot write " + path.string() + ": " + error.message());
    }
    return {};
}

std::string posix_rule(const std::string& zone) {
    for (const auto& [name, rule] : root_time_zones()) {
        if (name == zone) {
            return rule;
        }
    }
    return {};
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& root_time_zones() {
    static const std::vector<std::pair<std::string, std::string>> zones = {
        {"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3"},
        {"Europe/Ljubljana", "CET-1CEST,M3.5.0,M10.5.0/3"},
        {"Europe/Riga", "EET-2EEST,M3.5.0/3,M10.5.0/4"},
        {"Europe/London", "GMT0BST,M3.5.0/1,M10.5.0"},
        {"America/New_York", "EST5EDT,M3.2.0,M11.1.0"},
        {"Asia/Tokyo", "JST-9"},
        {"UTC", "UTC0"},
    };
    return zones;
}

Status build_root(const RootOptions& options) {
    const fs::path root(options.directory);
    const fs::path app = root / "root/app";
    const std::string rule = posix_rule(options.zone);
    if (rule.empty()) {
        return Error::owned("unknown time zone " + options.zone +
                            " (known: Europe/Berlin, Europe/Ljubljana, Europe/Riga, "
                            "Europe/London, America/New_York, Asia/Tokyo, UTC)");
    }
    std::error_code error;
    if (!fs::is_regular_file(options.daemon, error)) {
        return Error::owned("no daemon binary at " + options.daemon);
    }
    for (const char* directory :
         {"root/app/cert", "etc/config", "etc/init.d", "var/log", "tmp", "dev"}) {
        fs::create_directories(root / directory, error);
        if (error) {
            return Error::owned("cannot create " + (root / directory).string() + ": " +
                                error.message());
        }
    }
    // Camera and probe ids come from the kernel's random source, looked for under the root.
    if (!fs::exists(root / "dev/urandom", error)) {
        fs::create_symlink("/dev/urandom", root / "dev/urandom", error);
        if (error) {
            return Error::owned("cannot link dev/urandom: " + error.message());
        }
    }
    fs::copy_file(options.daemon, app / "voxapp", fs::copy_options::overwrite_existing, error);
    if (error) {
        return Error::owned("cannot copy the daemon: " + error.message());
    }
    fs::permissions(app / "voxapp", fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);

    if (options.ca_file.empty()) {
        auto pki = ThrowawayPki::load_or_create((root / "sim-pki").string());
        if (!pki) {
            return pki.error();
        }
        if (Status written = pki->write_ca_file((app / "cert/ca.crt").string()); !written) {
            return written;
        }
    } else {
        fs::copy_file(options.ca_file, app / "cert/ca.crt", fs::copy_options::overwrite_existing,
                      error);
        if (error) {
            return Error::owned("cannot copy the CA file " + options.ca_file + ": " +
                                error.message());
        }
    }

    const std::string port = std::to_string(options.port);
    const std::string settings =
        "# The router unit's link to the simulated monitoring server on this machine.\n"
        "min_logging_level=" +
        options.min_level + "\n" + "logging_depth=" + options.depth + "\n" +
        "remote_address=" + options.address + "\n" + "remote_port=" + port + "\n" +
        "remote_timeout=" + std::to_string(options.idle_timeout_seconds) + "\n" +
        "remote_address_rd=" + options.address + "\n" + "remote_port_rd=" + port + "\n" +
        "remote_timeout_rd=" + std::to_string(options.idle_timeout_seconds) + "\n" +
        "heartbeat_interval=" + std::to_string(options.heartbeat_seconds) + "\n" +
        "component=remote_connection:true\n";
    std::string zones;
    for (const auto& [name, zone_rule] : root_time_zones()) {
        zones += name + "=" + zone_rule + "\n";
    }
    const std::string system =
        "config system\n"
        "\toption hostname 'OpenWrt'\n"
        "\toption devicename 'QM208_" +
        std::to_string(options.serial) +
        "'\n"
        "\toption zoneName '" +
        options.zone +
        "'\n"
        "\toption timezone '" +
        rule + "'\n";
    const std::string ntpclient =
        "config ntpclient 'ntpclient'\n\toption zoneName '" + options.zone + "'\n";
    const std::string fix = options.gps_fix ? "latitude=46.056946\n"
                                              "longitude=14.505751\n"
                                              "altitude=295.5\n"
                                              "course=90\n"
                                              "speed=1.25\n"
                                              "accuracy=3.5\n"
                                              "satellites=9\n"
                                              "fix_type=2\n"
                                              "timestamp=now\n"
                                            : "";

    const auto executable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec;
    for (const auto& [path, content] : std::initializer_list<std::pair<fs::path, std::string>>{
             {app / "settings.ini", settings},
             {app / "numberOfDevices", "0"},
             {app / "timezones.ini", zones},
             {root / "etc/config/system", system},
             {root / "etc/config/ntpclient", ntpclient}}) {
        if (Status written = write(path, content); !written) {
            return written;
        }
    }
    if (Status written = write(root / "etc/init.d/system", kInitScript, executable); !written) {
        return written;
    }
    if (options.gps_fix) {
        return write(root / "tmp/voxapp-gps-fix", fix);
    }
    fs::remove(root / "tmp/voxapp-gps-fix", error);
    return {};
}

}  // namespace voxapp::sim
