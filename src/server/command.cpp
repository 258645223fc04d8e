#include "server/command.hpp"

#include <charconv>
#include <cstdint>

namespace voxapp {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

// Where the code character sits, or kNotFound when the text opens in no accepted way.
std::size_t find_code_index(std::string_view text) {
    if (text[0] == '#') {
        return text[1] == '#' ? 2 : 1;
    }
    if (text[1] == '#') {
        return 2;
    }
    if (text[0] == '>' && text.size() > 3 && text[3] == '#') {
        return 1;
    }
    return kNotFound;
}

// Validates a '#9' data command: "#9,<p1>,<length>" then ',' or ';' and at least <length> bytes.
Status check_data_command(std::string_view text, std::size_t code_index) {
    if (text.size() < 15) {
        return Error::fixed("Command #9 string should be at least 15 characters long");
    }
    const std::size_t first_comma = text.find(',', code_index + 2);
    if (first_comma == kNotFound) {
        return Error::fixed("Missing 1st parameter from #9 command");
    }
    const std::size_t delimiter = text.find_first_of(",;", first_comma + 1);
    if (delimiter == kNotFound) {
        return Error::fixed("Missing 2nd parameter from #9 command");
    }
    const std::string_view field = text.substr(first_comma + 1, delimiter - first_comma - 1);
    std::uint32_t length = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), length);
    if (field.empty() || ec != std::errc() || end != field.data() + field.size()) {
        return Error::fixed("Length of #9 command should be an unsigned 32-bit decimal number");
    }
    // 64-bit sum: size_t is 32 bits on the target.
    if (std::uint64_t{text.size()} < std::uint64_t{delimiter} + 1 + length) {
        return Error::fixed("Command #9 string should transferred in full");
    }
    return {};
}

// Splits at every ','; a trailing ',' adds no empty last field and "" yields no field.
std::vector<std::string> split_parameters(std::string_view fields) {
    std::vector<std::string> parameters;
    std::size_t start = 0;
    while (start < fields.size()) {
        std::size_t comma = fields.find(',', start);
        if (comma == kNotFound) {
            comma = fields.size();
        }
        parameters.emplace_back(fields.substr(start, comma - start));
        start = comma + 1;
    }
    return parameters;
}

}  // namespace

Result<Command> parse_command(std::string_view text) {
    if (text.size() < 3) {
        return Error::fixed("Command string should be at least 3 characters long");
    }
    const std::size_t code_index = find_code_index(text);
    if (code_index == kNotFound) {
        return Error::fixed("Command string should start with # or ;#");
    }
    const char code = text[code_index];
    if (text.back() != ';' && code != '9' && code != 'D') {
        return Error::fixed("Command string should end with ;");
    }
    if (code == '9' && text != "#9,1;" && text != "#9,0;") {
        if (Status checked = check_data_command(text, code_index); !checked) {
            return checked.error();
        }
        return Command{'9', {}};
    }
    // The code and the byte after it (the first comma) are skipped; the last byte is dropped.
    const std::size_t first = code_index + 2;
    const std::size_t last = text.size() - 1;
    Command command{code, {}};
    if (first < last) {
        command.parameters = split_parameters(text.substr(first, last - first));
    }
    return command;
}

std::string print_command(const Command& command) {
    std::string text{'#', command.code};
    for (const std::string& parameter : command.parameters) {
        text += ',';
        text += parameter;
    }
    text += ';';
    return text;
}

}  // namespace voxapp
