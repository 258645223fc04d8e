#include "core/settings.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "core/console.hpp"
#include "core/system_paths.hpp"

namespace voxapp {

namespace {

using namespace std::string_literals;

// strtol semantics (leading blanks skipped, trailing text ignored), but a value without digits
// or outside [min, max] is refused rather than silently wrapped.
std::optional<std::int64_t> parse_number(const std::string& value, std::int64_t min,
                                         std::int64_t max) {
    const char* begin = value.c_str();
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE || number < min || number > max) {
        return std::nullopt;
    }
    return number;
}

std::optional<ComponentId> component_id_of(std::string_view name) {
    if (name == "remote_connection") {
        return ComponentId::remote_connection;
    }
    if (name == "gps_location") {
        return ComponentId::gps_location;
    }
    if (name == "event_tracker") {
        return ComponentId::event_tracker;
    }
    return std::nullopt;
}

std::optional<LogLevel> level_of(std::string_view value) {
    if (value == "debug") {
        return LogLevel::debug;
    }
    if (value == "info") {
        return LogLevel::info;
    }
    if (value == "warning") {
        return LogLevel::warning;
    }
    if (value == "error") {
        return LogLevel::error;
    }
    if (value == "critical") {
        return LogLevel::critical;
    }
    return std::nullopt;
}

void report_malformed(const std::string& line) {
    print_console_message(" Malformed configuration line: "s + line);
}

void apply_component(Settings& settings, const std::string& line, const std::string& value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos || colon + 1 == value.size()) {
        report_malformed(line);
        return;
    }
    const std::string name = value.substr(0, colon);
    const auto id = component_id_of(name);
    if (!id) {
        print_console_message(" Unknown component type: " + name);
        return;
    }
    const bool flag = value.compare(colon + 1, std::string::npos, "true") == 0;
    if (!set_component_flag(settings, *id, flag)) {
        settings.components.push_back({*id, flag});
    }
}

void apply_credentials(Settings& settings, const std::string& value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == value.size()) {
        return;
    }
    settings.camera_credentials.push_back({value.substr(0, colon), value.substr(colon + 1)});
}

void apply_line(Settings& settings, const std::string& line) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || equals + 1 == line.size()) {
        report_malformed(line);
        return;
    }
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);

    auto set_u16 = [&](std::uint16_t& field) {
        if (auto number = parse_number(value, 0, UINT16_MAX)) {
            field = static_cast<std::uint16_t>(*number);
        } else {
            report_malformed(line);
        }
    };

    if (key == "logging_depth") {
        settings.logging_depth = value == "data_full" ? LoggingDepth::data_full
                                 : value == "data"    ? LoggingDepth::data
                                                      : LoggingDepth::normal;
    } else if (key == "min_logging_level") {
        if (auto level = level_of(value)) {
            settings.min_logging_level = *level;
        } else {
            print_console_message(" Unknown minimum logging level: " + value);
        }
    } else if (key == "remote_address") {
        settings.remote_address = value;
    } else if (key == "remote_address_rd") {
        settings.remote_address_rd = value;
    } else if (key == "remote_port") {
        set_u16(settings.remote_port);
    } else if (key == "remote_port_rd") {
        set_u16(settings.remote_port_rd);
    } else if (key == "remote_timeout") {
        set_u16(settings.remote_timeout);
    } else if (key == "remote_timeout_rd") {
        set_u16(settings.remote_timeout_rd);
    } else if (key == "ca_path") {
        settings.ca_path = value;
    } else if (key == "camera_credentials") {
        apply_credentials(settings, value);
    } else if (key == "component") {
        apply_component(settings, line, value);
    } else if (key == "heartbeat_path") {
        settings.heartbeat_path = value;
    } else if (key == "heartbeat_interval") {
        if (auto number = parse_number(value, INT32_MIN, INT32_MAX)) {
            settings.heartbeat_interval = *number;
        } else {
            report_malformed(line);
        }
    } else if (key == "usb_relative_log_path") {
        settings.usb_relative_log_path = value;
    } else if (key == "log_path") {
        settings.log_path = value;
    } else if (key == "log_max_size" || key == "log_max_files") {
        const std::int64_t most = key == "log_max_size" ? INT32_MAX : kMaxLogFiles;
        if (auto number = parse_number(value, 0, most)) {
            (key == "log_max_size" ? settings.log_max_size : settings.log_max_files) =
                static_cast<std::uint32_t>(*number);
        } else {
            report_malformed(line);
        }
    } else if (key == "log_syslog") {
        settings.log_syslog = value == "true";
    } else if (key == "ftp_address") {
        settings.ftp_address = value;
    } else {
        print_console_message(" Unknown configuration key: " + key);
    }
}

// Opens for reading; a directory in place of the file counts as a file that cannot be opened.
std::FILE* open_settings(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "r");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

}  // namespace

Settings default_settings(const VersionInfo& version) {
    Settings settings;
    settings.remote_address = kDefaultRemoteAddress;
    settings.remote_address_rd = kDefaultRemoteAddressRd;
    settings.ca_path = system_path("/root/app/cert/ca.crt");
    settings.heartbeat_path = system_path("/root/app/heartbeat");
    settings.log_path = system_path("/var/log/voxapp.log");
    settings.ftp_address = kDefaultFtpAddress;
    settings.timezones_path = system_path("/root/app/timezones.ini");
    settings.version = version;
    return settings;
}

bool parse_settings_file(Settings& settings, const std::string& path) {
    std::FILE* file = open_settings(path);
    if (file == nullptr) {
        print_console_message(" Failed to open file: " + path);
        return false;
    }
    char* buffer = nullptr;
    std::size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&buffer, &capacity, file)) != -1) {
        std::string line(buffer, static_cast<std::size_t>(length));
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        if (!line.empty() && line.front() != '#') {
            apply_line(settings, line);
        }
    }
    std::free(buffer);
    std::fclose(file);
    print_console_message(" " + path);
    return true;
}

bool set_component_flag(Settings& settings, ComponentId id, bool flag) {
    for (auto& entry : settings.components) {
        if (entry.id == id) {
            entry.log = flag;
            return true;
        }
    }
    return false;
}

}  // namespace voxapp
