// libFuzzer harness for the settings file parser: the input is the file.
#include <cstdint>
#include <string_view>

#include "core/settings.hpp"
#include "core/version_info.hpp"
#include "memory_file.hpp"

using voxapp::fuzz::check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    voxapp::fuzz::silence_standard_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static voxapp::fuzz::MemoryFile file;
    static const voxapp::Settings defaults = voxapp::default_settings(voxapp::VersionInfo{});
    voxapp::Settings settings = defaults;
    const std::string& path = file.hold({reinterpret_cast<const char*>(data), size});
    check(voxapp::parse_settings_file(settings, path), "an open file reported as unopenable");

    // At most one entry per component; levels stay choosable.
    for (std::size_t i = 0; i < settings.components.size(); ++i) {
        for (std::size_t j = i + 1; j < settings.components.size(); ++j) {
            check(settings.components[i].id != settings.components[j].id, "component twice");
        }
    }
    check(settings.min_logging_level <= voxapp::LogLevel::critical, "minimum level past CRITICAL");
    for (const auto& credential : settings.camera_credentials) {
        check(!credential.user_name.empty() && !credential.password.empty(),
              "empty camera credential kept");
    }
    return 0;
}
