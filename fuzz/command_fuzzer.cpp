// libFuzzer harness for parse_command and print_command.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "server/command.hpp"
#include "fuzz_check.hpp"

namespace {

bool is_known_error(std::string_view message) {
    for (std::string_view known : {
             "Command string should be at least 3 characters long",
             "Command string should start with # or ;#",
             "Command string should end with ;",
             "Command #9 string should be at least 15 characters long",
             "Missing 1st parameter from #9 command",
             "Missing 2nd parameter from #9 command",
             "Length of #9 command should be an unsigned 32-bit decimal number",
             "Command #9 string should transferred in full",
         }) {
        if (message == known) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const voxapp::Result<voxapp::Command> parsed = voxapp::parse_command(text);
    if (!parsed.ok()) {
        check(is_known_error(parsed.error().message()), "unknown error text");
        check(parsed.error().code() == 0, "error code");
        return 0;
    }
    const voxapp::Command& command = *parsed;
    check(text.size() >= 3, "accepted a text shorter than 3 bytes");
    check(text.find(command.code) != std::string_view::npos, "code not from the text");
    std::size_t parameter_bytes = 0;
    for (const std::string& parameter : command.parameters) {
        check(parameter.find(',') == std::string::npos, "comma inside a parameter");
        parameter_bytes += parameter.size() + 1;
    }
    check(parameter_bytes <= text.size(), "parameters longer than the text");

    // Printing and parsing again gives the same command, unless printing cannot express it:
    // '#9' data commands, the code '#' (read back as a second '#') and an empty last
    // parameter (read back as a trailing comma).
    const bool printable = command.code != '9' && command.code != '#' &&
                           (command.parameters.empty() || !command.parameters.back().empty());
    if (printable) {
        const voxapp::Result<voxapp::Command> again =
            voxapp::parse_command(voxapp::print_command(command));
        check(again.ok(), "printed command does not parse");
        check(*again == command, "printed command parses differently");
    }
    return 0;
}
