#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/log_level.hpp"
#include "core/version_info.hpp"

namespace voxapp {

enum class ComponentId : std::uint8_t {
    remote_connection = 0,
    gps_location = 1,
    event_tracker = 2
};

struct ComponentSwitch {
    ComponentId id;
    bool log;  // whether the component's traffic is logged

    bool operator==(const ComponentSwitch&) const = default;
};

struct CameraCredential {
    std::string user_name;
    std::string password;

    bool operator==(const CameraCredential&) const = default;
};

// Placeholders for the deployment's own host names; ".invalid" never resolves, so an unconfigured
// router cannot reach a stranger's server.
inline constexpr const char* kDefaultRemoteAddress = "server.voxapp.invalid";
inline constexpr const char* kDefaultRemoteAddressRd = "server-rd.voxapp.invalid";
inline constexpr const char* kDefaultFtpAddress = "ftp.voxapp.invalid";

// The most older log files log_max_files may keep.
inline constexpr std::uint32_t kMaxLogFiles = 9;

struct Settings {
    LoggingDepth logging_depth = LoggingDepth::normal;
    LogLevel min_logging_level = LogLevel::debug;
    std::string remote_address;
    std::string remote_address_rd;
    std::uint16_t remote_port = 8006;
    std::uint16_t remote_port_rd = 8006;
    std::uint16_t remote_timeout = 300;
    std::uint16_t remote_timeout_rd = 300;
    std::string ca_path;
    std::string heartbeat_path;
    std::int64_t heartbeat_interval = 60;
    std::string usb_relative_log_path;
    std::string log_path;
    // The log file is started afresh once it would grow past log_max_size bytes (0: never),
    // keeping log_max_files older files beside it (".1" the newest).
    std::uint32_t log_max_size = 1024 * 1024;
    std::uint32_t log_max_files = 1;
    // Warnings and errors also go to the system log.
    bool log_syslog = false;
    std::string ftp_address;
    std::string timezones_path;
    VersionInfo version;
    // At most one entry per id, in the order each id first appeared.
    std::vector<ComponentSwitch> components;
    std::vector<CameraCredential> camera_credentials;
};

// Built-in defaults, with the fixed paths placed under VOXAPP_ROOT when it is set.
Settings default_settings(const VersionInfo& version);

// Overwrites `settings` from a settings file, line by line. Problems are reported on standard
// output and never stop the parse. Returns false only when the file could not be opened.
bool parse_settings_file(Settings& settings, const std::string& path);

// Sets the log flag of the entry for `id`; false (and no change) when there is no such entry.
bool set_component_flag(Settings& settings, ComponentId id, bool flag);

}  // namespace voxapp
