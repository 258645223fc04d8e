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
    for (int i = flags_from; i < argc; ++i) {
        command_line.flags.emplace_back(argv[i]);
    }
    return command_line;
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
