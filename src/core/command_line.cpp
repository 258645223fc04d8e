#include "core/command_line.hpp"

#include <climits>
#include <cstdlib>
#include <string_view>

#include "core/md5_digest.hpp"

namespace voxapp {

namespace {

// atoi without its undefined behaviour on out-of-range words: such words saturate.
int to_int(const char* word) {
    const long long value = std::strtoll(word, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
    CommandLine command_line;
    const std::string_view first = argc > 1 ? argv[1] : "";
    int flags_from = 1;
    if (first == "gps_test") {
        command_line.mode = CommandLine::Mode::gps_test;
        return command_line;
    }
    if (first == "md5" && argc >= 3) {
        command_line.mode = CommandLine::Mode::md5;
        command_line.text = argv[2];
        return command_line;
    }
    if (first == "unit_pass" && argc >= 4) {
        command_line.mode = CommandLine::Mode::unit_pass;
        command_line.number = to_int(argv[2]);
        command_line.text = argv[3];
        return command_line;
    }
    if (first == "remote" && argc >= 4) {
        // Read as a number, then kept in 16 bits: a word that is not a number gives port 0.
        command_line.remote =
            CommandLine::RemoteOverride{argv[2], static_cast<std::uint16_t>(to_int(argv[3]))};
        flags_from = 4;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--help") {
            command_line.mode = CommandLine::Mode::help;
            return command_line;
        }
    }
    for (int i = flags_from; i < argc; ++i) {
        command_line.flags.emplace_back(argv[i]);
    }
    return command_line;
}

std::string usage_text() {
    return "Usage:\n"
           "  voxapp [WORD...]                    run the gateway daemon\n"
           "  voxapp remote ADDRESS PORT [WORD...] run the daemon with this primary server\n"
           "  voxapp md5 TEXT                     print the MD5 digest of TEXT\n"
           "  voxapp unit_pass NUMBER TEXT        print the unit password of NUMBER and TEXT\n"
           "  voxapp gps_test                     print the GPS position once a second\n"
           "  voxapp --help                       print this text\n"
           "\n"
           "Daemon words (others are ignored):\n"
           "  no_log_gps      GPS tracker components log nothing\n"
           "  no_log_remote   server connections log nothing\n"
           "\n"
           "Files (below $VOXAPP_ROOT when it is set):\n"
           "  <executable's directory>/settings.ini      settings (key=value lines)\n"
           "  <executable's directory>/numberOfDevices   count of known instruments\n"
           "  /var/log/voxapp.log                        log file (setting log_path)\n"
           "  /root/app/cert/ca.crt                      server CA file (setting ca_path)\n"
           "  /root/app/heartbeat                        heartbeat (setting heartbeat_path)\n"
           "  /root/app/timezones.ini                    time zone table\n"
           "  /etc/config/system                         device name and time zone (UCI)\n"
           "\n"
           "Exit codes: 0 stopped by SIGINT or SIGTERM, or a tool finished; 1 settings.ini\n"
           "cannot be read; abort with a FATAL line when a core service cannot start.\n";
}

void apply_overrides(const CommandLine& command_line, Settings& settings) {
    if (command_line.remote) {
        settings.remote_address = command_line.remote->address;
        settings.remote_port = command_line.remote->port;
    }
    for (const auto& flag : command_line.flags) {
        if (flag == "no_log_gps") {
            set_component_flag(settings, ComponentId::gps_location, false);
        } else if (flag == "no_log_remote") {
            set_component_flag(settings, ComponentId::remote_connection, false);
        }
    }
}

std::string md5_tool_output(const std::string& text) {
    return "MD5 - " + md5_text_digest(text) + "\r\n";
}

std::string unit_pass_tool_output(int number, const std::string& text) {
    return "unit_pass - " + unit_password(number, text) + "\r\n";
}

}  // namespace voxapp
