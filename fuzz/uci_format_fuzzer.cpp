// libFuzzer harness for the UCI file format: the input is a configuration file. A package that
// parses and holds only names and values that UCI can write must read back unchanged after
// being written.
#include <cstdint>
#include <string>
#include <string_view>

#include "memory_file.hpp"
#include "platform/uci_format.hpp"

using voxapp::fuzz::check;

namespace {

bool writable(const voxapp::UciPackage& package) {
    for (const auto& section : package.sections) {
        if (!voxapp::is_valid_uci_name(section.type) ||
            (!section.name.empty() && !voxapp::is_valid_uci_name(section.name))) {
            return false;
        }
        for (const auto& option : section.options) {
            if (!voxapp::is_valid_uci_name(option.name)) {
                return false;
            }
            for (const auto& value : option.values) {
                if (!voxapp::is_valid_uci_value(value)) {
                    return false;
                }
            }
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto package = voxapp::parse_uci_package(text);
    if (!package) {
        check(package.error().message().starts_with("line "), "error without its line");
        return 0;
    }
    if (!writable(*package)) {
        return 0;
    }
    const std::string written = voxapp::format_uci_package(*package);
    const auto again = voxapp::parse_uci_package(written);
    check(again.ok(), "written package does not parse");
    check(*again == *package, "written package reads back different");
    return 0;
}
