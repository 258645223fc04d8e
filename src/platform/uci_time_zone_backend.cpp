#include "platform/uci_time_zone_backend.hpp"

#include "core/single_quoted.hpp"
#include "core/system_paths.hpp"
#include "platform/uci_access.hpp"

namespace voxapp {
namespace {}  // namespace

Result<std::string> read_uci_time_zone(UciContext* context) {
    auto name = uci_get_string(context, "system.@system[0].zoneName");
    if (name && name->empty()) {
        return std::string("UTC");
    }
    return name;
}

Result<std::unique_ptr<UciTimeZoneBackend>> UciTimeZoneBackend::create(
    EventLoop& loop, TimeZoneTable table, std::shared_ptr<Logger> logger) {
    if (!logger) {
        return Error::fixed("UciTimeZoneBackend needs a logger");
    }
    auto runner = ProcessRunner::create(loop);
    if (!runner) {
        return runner.error();
    }
    return std::unique_ptr<UciTimeZoneBackend>(
        new UciTimeZoneBackend(std::move(table), std::move(*runner), std::move(logger)));
}

Result<std::string> UciTimeZoneBackend::posix_time_zone(std::string_view name) const {
    const auto found = table_.find(name);
    if (found == table_.end()) {
        return Error::owned("Unknown IANA timezone: " + std::string(name));
    }
    return found->second;
}

Status UciTimeZoneBackend::set_time_zone(std::string_view name) {
    auto posix = posix_time_zone(name);
    if (!posix) {
        return posix.error();
    }
    const UciEdit edit_system = [&](UciContext* context) -> Status {
        if (Status set = uci_set(context, "system.@system[0].zoneName", name); !set) {
            return set;
        }
        return uci_set(context, "system.@system[0].timezone", *posix);
    };
    if (Status system = uci_transaction("system", edit_system); !system) {
        return system;
    }
    const UciEdit edit_ntp = [&](UciContext* context) {
        return uci_set(context, "ntpclient.ntpclient.zoneName", name);
    };
    if (Status ntp = uci_transaction("ntpclient", edit_ntp); !ntp) {
        return ntp;
    }
    restart_system();
    return {};
}

void UciTimeZoneBackend::restart_system() {
    const std::string command = single_quoted(system_path("/etc/init.d/system")) + " restart";
    Status started = runner_.run(command, [logger = logger_](int exit_code) {
        if (exit_code != 0) {
            logger->warning("System restart exited with code " + std::to_string(exit_code));
        }
    });
    if (!started) {
        logger_->warning("Failed to spawn process to restart system: " +
                         std::to_string(started.error().code()));
    }
}

Result<std::string> UciTimeZoneBackend::current_time_zone() {
    return read_uci_time_zone(open_uci_context().get());
}

}  // namespace voxapp
