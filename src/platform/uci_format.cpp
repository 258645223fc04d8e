#include "platform/uci_format.hpp"

#include <algorithm>
#include <optional>

#include "core/single_quoted.hpp"

namespace voxapp {
namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The words of one line, quotes resolved, or the reason the line cannot be read.
Result<std::vector<std::string>> split_words(std::string_view line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (true) {
        while (at < line.size() && is_blank(line[at])) {
            ++at;
        }
        if (at == line.size() || line[at] == '#') {
            return words;
        }
        std::string word;
        while (at < line.size() && !is_blank(line[at])) {
            const char c = line[at++];
            if (c == '\'') {
                const std::size_t end = line.find('\'', at);
                if (end == std::string_view::npos) {
                    return Error::fixed("unterminated single quote");
                }
                word.append(line.substr(at, end - at));
                at = end + 1;
            } else if (c == '"') {
                bool closed = false;
                while (at < line.size()) {
                    const char q = line[at++];
                    if (q == '"') {
                        closed = true;
                        break;
                    }
                    if (q == '\\') {
                        if (at == line.size()) {
                            break;
                        }
                        word.push_back(line[at++]);
                    } else {
                        word.push_back(q);
                    }
                }
                if (!closed) {
                    return Error::fixed("unterminated double quote");
                }
            } else if (c == '\\') {
                if (at == line.size()) {
                    return Error::fixed("backslash at end of line");
                }
                word.push_back(line[at++]);
            } else {
                word.push_back(c);
            }
        }
        words.push_back(std::move(word));
    }
}

Error line_error(std::size_t line_number, std::string_view what) {
    return Error::owned("line " + std::to_string(line_number) + ": " + std::string(what));
}

// One statement applied to the package being built; `current` is the section that options go to.
Status apply_statement(UciPackage& package, std::optional<std::size_t>& current,
                       const std::vector<std::string>& words) {
    const std::string& keyword = words[0];
    if (keyword == "package") {
        if (words.size() != 2 || !is_valid_uci_name(words[1])) {
            return Error::fixed("malformed package line");
        }
        return {};
    }
    if (keyword == "config") {
        if (words.size() < 2 || words.size() > 3) {
            return Error::fixed("config needs a type and at most a name");
        }
        if (!is_valid_uci_name(words[1])) {
            return Error::owned("invalid section type '" + words[1] + "'");
        }
        if (words.size() == 3) {
            if (!is_valid_uci_name(words[2])) {
                return Error::owned("invalid section name '" + words[2] + "'");
            }
            const auto existing =
                std::find_if(package.sections.begin(), package.sections.end(),
                             [&](const UciSection& s) { return s.name == words[2]; });
            if (existing != package.sections.end()) {
                existing->type = words[1];
                current = static_cast<std::size_t>(existing - package.sections.begin());
                return {};
            }
        }
        package.sections.push_back(UciSection{words[1], words.size() == 3 ? words[2] : "", {}});
        current = package.sections.size() - 1;
        return {};
    }
    if (keyword == "option" || keyword == "list") {
        if (!current) {
            return Error::owned(keyword + " outside of a section");
        }
        if (words.size() != 3) {
            return Error::owned(keyword + " needs a name and a value");
        }
        if (!is_valid_uci_name(words[1])) {
            return Error::owned("invalid option name '" + words[1] + "'");
        }
        if (!is_valid_uci_value(words[2])) {
            return Error::owned("control character in the value of '" + words[1] + "'");
        }
        UciSection& section = package.sections[*current];
        if (keyword == "option") {
            section.set_option(words[1], words[2]);
            return {};
        }
        UciOption* option = section.find_option(words[1]);
        if (option == nullptr) {
            section.options.push_back(UciOption{words[1], true, {words[2]}});
        } else {
            // As in UCI, a list entry after a string option of the same name extends it.
            option->is_list = true;
            option->values.push_back(words[2]);
        }
        return {};
    }
    return Error::owned("unknown keyword '" + keyword + "'");
}

}  // namespace

UciOption* UciSection::find_option(std::string_view option_name) {
    for (UciOption& option : options) {
        if (option.name == option_name) {
            return &option;
        }
    }
    return nullptr;
}

const UciOption* UciSection::find_option(std::string_view option_name) const {
    return const_cast<UciSection*>(this)->find_option(option_name);
}

void UciSection::set_option(std::string_view option_name, std::string_view value) {
    UciOption* option = find_option(option_name);
    if (option == nullptr) {
        options.push_back(UciOption{std::string(option_name), false, {std::string(value)}});
        return;
    }
    option->is_list = false;
    option->values.assign(1, std::string(value));
}

UciSection* UciPackage::find_section(std::string_view section_name) {
    for (UciSection& section : sections) {
        if (!section.name.empty() && section.name == section_name) {
            return &section;
        }
    }
    return nullptr;
}

bool is_valid_uci_name(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

bool is_valid_uci_value(std::string_view value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7f;
    });
}

Result<UciPackage> parse_uci_package(std::string_view text) {
    UciPackage package;
    std::optional<std::size_t> current;
    std::size_t line_number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        ++line_number;
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.find('\0') != std::string_view::npos) {
            return line_error(line_number, "NUL byte");
        }
        auto words = split_words(line);
        if (!words) {
            return line_error(line_number, words.error().message());
        }
        if (words->empty()) {
            continue;
        }
        if (Status applied = apply_statement(package, current, *words); !applied) {
            return line_error(line_number, applied.error().message());
        }
    }
    return package;
}

std::string format_uci_package(const UciPackage& package) {
    std::string out;
    for (const UciSection& section : package.sections) {
        out += "\nconfig " + section.type;
        if (!section.name.empty()) {
            out += " " + single_quoted(section.name);
        }
        out += "\n";
        for (const UciOption& option : section.options) {
            for (const std::string& value : option.values) {
                out += option.is_list ? "\tlist " : "\toption ";
                out += option.name + " " + single_quoted(value) + "\n";
            }
        }
    }
    return out;
}

}  // namespace voxapp
