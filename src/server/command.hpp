#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"

namespace voxapp {

// A parsed "#"-command: '#', a one-character code, comma-separated parameters, ';'.
struct Command {
    char code = '\0';
    std::vector<std::string> parameters;

    friend bool operator==(const Command&, const Command&) = default;
};

// Parses and validates a command text. Accepted openings: "#", "##", any byte then "#" (normally
// ";#"), and ">" with '#' as fourth byte. The last byte must be ';' unless the code is '9' or 'D'.
// A '#9' text other than "#9,1;" and "#9,0;" is a data command ("#9,<p1>,<length>," then exactly
// <length> data bytes): it is only validated and yields code '9' without parameters, since its
// users work on the received text. Every failure is an Error with a fixed message and code 0.
Result<Command> parse_command(std::string_view text);

// "#", the code, ",parameter" for each parameter, ";".
std::string print_command(const Command& command);

}  // namespace voxapp
