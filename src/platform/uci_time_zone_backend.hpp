#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "platform/time_zone_backend.hpp"
#include "platform/time_zone_table.hpp"
#include "platform/uci_context.hpp"
#include "system/io/event_loop.hpp"
#include "system/io/process_runner.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// "system.@system[0].zoneName" on `context`; an empty value means "UTC".
Result<std::string> read_uci_time_zone(UciContext* context);

// The router's time zone in UCI: "system.@system[0].zoneName" (IANA name) with
// "system.@system[0].timezone" (its POSIX string) and "ntpclient.ntpclient.zoneName", applied
// by "/etc/init.d/system restart".
//
// The restart runs through a ProcessRunner of its own on the event loop, so the child is reaped
// there as soon as it ends and its exit status is logged; set_time_zone does not wait for it.
// Threads: set_time_zone on the loop's thread; posix_time_zone on any thread.
class UciTimeZoneBackend final : public TimeZoneBackend {
public:
    // Adds a ProcessRunner of its own to `loop`. Error: that of ProcessRunner::create, or a null
    // logger.
    static Result<std::unique_ptr<UciTimeZoneBackend>> create(EventLoop& loop, TimeZoneTable table,
                                                              std::shared_ptr<Logger> logger);

    // Error: "Unknown IANA timezone: " name.
    Result<std::string> posix_time_zone(std::string_view name) const override;
    // Commits "system" (zone name and POSIX string), then "ntpclient", then starts the restart.
    // An unknown name changes nothing; a failed edit reverts its own package, but a failure in
    // "ntpclient" leaves the committed "system" as it is. A restart that cannot be started or
    // that fails is logged as a WARNING and does not fail the change: the configuration is
    // already written and takes effect at the next restart.
    Status set_time_zone(std::string_view name) override;
    // read_uci_time_zone on a fresh context.
    Result<std::string> current_time_zone() override;

private:
    UciTimeZoneBackend(TimeZoneTable table, ProcessRunner runner, std::shared_ptr<Logger> logger)
        : table_(std::move(table)), runner_(std::move(runner)), logger_(std::move(logger)) {}

    void restart_system();

    const TimeZoneTable table_;
    ProcessRunner runner_;
    std::shared_ptr<Logger> logger_;
};

}  // namespace voxapp
