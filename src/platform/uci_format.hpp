#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"

namespace voxapp {

// One option of a UCI section: a string option holds exactly one value, a list one or more.
struct UciOption {
    std::string name;
    bool is_list = false;
    std::vector<std::string> values;

    friend bool operator==(const UciOption&, const UciOption&) = default;
};

// One "config TYPE ['NAME']" block; an empty name marks an anonymous section.
struct UciSection {
    std::string type;
    std::string name;
    std::vector<UciOption> options;

    UciOption* find_option(std::string_view option_name);
    const UciOption* find_option(std::string_view option_name) const;
    // Makes `option_name` a string option holding `value`, replacing a list of that name.
    void set_option(std::string_view option_name, std::string_view value);

    friend bool operator==(const UciSection&, const UciSection&) = default;
};

// The sections of one configuration file, in file order.
struct UciPackage {
    std::vector<UciSection> sections;

    UciSection* find_section(std::string_view section_name);

    friend bool operator==(const UciPackage&, const UciPackage&) = default;
};

// Package, type, section and option names: letters, digits, '_' and '-'. Package names are file
// names, so this also keeps them from leaving the configuration directory.
bool is_valid_uci_name(std::string_view name);

// Values that survive a write and a read: no control character other than tab.
bool is_valid_uci_value(std::string_view value);

// Reads a configuration file in UCI's syntax: "config", "option", "list" (and a "package" line,
// which is ignored) with words that are bare, 'single-quoted', "double-quoted" (backslash
// escapes) or a concatenation of those; '#' at the start of a word comments out the rest of the
// line. A section named twice is one section, as in UCI. Error (code 0): "line N: <what>".
Result<UciPackage> parse_uci_package(std::string_view text);

// Writes the package the way UCI itself writes it on commit: a blank line before each
// "config TYPE ['NAME']", options as "\toption NAME 'VALUE'" and "\tlist NAME 'VALUE'", a single
// quote inside a value as '\''. Comments of the original file are not kept (UCI drops them too).
std::string format_uci_package(const UciPackage& package);

}  // namespace voxapp
