#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/settings.hpp"

namespace voxapp {

// What the process was asked to be, from its arguments (argv[0] is the executable).
struct CommandLine {
    enum class Mode { daemon, gps_test, md5, unit_pass, help };

    struct RemoteOverride {
        std::string address;
        std::uint16_t port;
    };

    Mode mode = Mode::daemon;
    int number = 0;    // unit_pass
    std::string text;  // md5, unit_pass
    std::optional<RemoteOverride> remote;
    std::vector<std::string> flags;  // daemon words scanned for flags, in order
};

// A "--help" word anywhere (unless a tool mode came first) asks for the usage; every other
// word that is not a mode or a flag is ignored.
CommandLine parse_command_line(int argc, const char* const* argv);

// The "remote" override, then each flag in order. Unknown words are ignored.
void apply_overrides(const CommandLine& command_line, Settings& settings);

// What "--help" prints: the modes, the daemon's words and the files it reads.
std::string usage_text();

// The tool modes' exact output.
std::string md5_tool_output(const std::string& text);
std::string unit_pass_tool_output(int number, const std::string& text);

}  // namespace voxapp
