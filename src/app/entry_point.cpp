#include "app/entry_point.hpp"

#include <malloc.h>
#include <sys/stat.h>

#include <cstdio>

#include "app/application_context.hpp"
#include "app/composition_root.hpp"
#include "core/command_line.hpp"
#include "core/executable_paths.hpp"
#include "core/settings.hpp"
#include "core/tls_library.hpp"
#include "core/version_info.hpp"
#include "platform/gps_test_mode.hpp"

namespace voxapp {

namespace {

int print_tool_output(const std::string& output) {
    std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    return 0;
}

// glibc gives each thread that allocates an arena of its own (up to eight per core), and each
// arena keeps what its thread freed: about 60 KiB for every server connection's worker. The
// daemon's threads allocate little and seldom, so two arenas serve them all. (musl, the
// router's C library, has no per-thread arenas.)
void limit_malloc_arenas() {
#if defined(__GLIBC__) && defined(M_ARENA_MAX)
    mallopt(M_ARENA_MAX, 2);
#endif
}

int run_daemon(const CommandLine& command_line) {
    limit_malloc_arenas();
    const VersionInfo version = build_version_info();
    Settings settings = default_settings(version);

    const std::string settings_path = settings_file_path(settings_directory());
    struct stat info {};
    const bool settings_exist = stat(settings_path.c_str(), &info) == 0;
    if (settings_exist && !parse_settings_file(settings, settings_path)) {
        return 1;
    }

    std::string app_directory = application_directory();
    apply_overrides(command_line, settings);

    ApplicationContext context(std::move(settings), std::move(app_directory));
    auto logger = context.logger();
    logger->info("Starting KELM VOX application version " + version_text(version));
    if (!settings_exist) {
        logger->warning("Settings file not found: " + settings_path +
                        " - using only default configuration");
    }
    CompositionRoot root(context);
    return root.application()->run();
}

}  // namespace

int run_entry_point(int argc, const char* const* argv) {
    initialise_tls_library();
    const CommandLine command_line = parse_command_line(argc, argv);
    switch (command_line.mode) {
        case CommandLine::Mode::md5:
            return print_tool_output(md5_tool_output(command_line.text));
        case CommandLine::Mode::unit_pass:
            return print_tool_output(unit_pass_tool_output(command_line.number, command_line.text));
        case CommandLine::Mode::gps_test:
            return run_gps_test();
        case CommandLine::Mode::help:
            return print_tool_output(usage_text());
        case CommandLine::Mode::daemon:
            break;
    }
    return run_daemon(command_line);
}

}  // namespace voxapp
