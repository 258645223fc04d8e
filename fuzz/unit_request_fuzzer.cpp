// libFuzzer harness for the router unit's command handling end to end: the input is a command
// text as a server connection queues it; it is parsed, dispatched (the FTP-account and
// recording requests through the unit request handler) and answered, and every line the unit
// logs goes through a real sink, so the log's masking and escaping are fuzzed with it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "core/time_range.hpp"
#include "memory_file.hpp"
#include "platform/gps_record.hpp"
#include "server/client_service.hpp"
#include "server/in_memory_client_store.hpp"
#include "server/router_unit.hpp"
#include "system/events/event_dispatcher.hpp"
#include "system/logging/console_sink.hpp"

namespace {

using namespace voxapp;
using voxapp::fuzz::check;

class FixedGpsReceiver : public GpsReceiver {
public:
    int get(GpsRecordBytes& bytes) override {
        GpsRecord record{14.5, 0.5, 295.5, 270, 1.25, 3.5, 9, 2, 1'709'647'628 + ++reads_};
        bytes = encode_gps_record(record);
        return kGpsResultOk;
    }

private:
    std::int64_t reads_ = 0;
};

class NoStorage : public StorageLister {
public:
    Result<MountedStorage> get_by_id(std::string_view) const override {
        return Error::fixed("Mounted storage with given ID not found");
    }
    Result<std::vector<MountedStorage>> list_all() const override {
        return std::vector<MountedStorage>{};
    }
    Result<std::vector<MountedStorage>> list_by_kind(StorageKind) const override {
        return std::vector<MountedStorage>{};
    }
};

class OneZone : public TimeZoneBackend {
public:
    Result<std::string> posix_time_zone(std::string_view name) const override {
        if (name == "UTC") {
            return std::string("UTC0");
        }
        return Error::owned("Unknown IANA timezone: " + std::string(name));
    }
    Status set_time_zone(std::string_view name) override {
        auto posix = posix_time_zone(name);
        return posix ? Status() : Status(posix.error());
    }
    Result<std::string> current_time_zone() override { return std::string("UTC"); }
};

class OneCamera : public CameraDirectory {
public:
    Result<bool> has_discovered_or_online_camera() const override { return true; }
    Result<std::optional<Uuid>> first_online_camera() const override {
        return std::optional<Uuid>(Uuid({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    }
};

// Accepts every request after checking what a real transfer service relies on.
class CheckingRecordings : public RecordingRequester {
public:
    Status request_recording(const Uuid&, std::uint32_t, const UnitIdentity&,
                             const TimeRange& range) override {
        check(range.start() <= range.end(), "a range that ends before it starts");
        check(range.duration_seconds() >= 0, "a negative duration");
        (void)range.to_string();
        return {};
    }
};

struct Unit {
    Unit() {
        auto dispatcher = std::shared_ptr<EventDispatcher>(std::move(*EventDispatcher::create()));
        auto clients = *ClientService::create(dispatcher, *InMemoryClientStore::create());
        std::shared_ptr<TimeZoneService> time_zone(
            std::move(*TimeZoneService::create(std::make_shared<OneZone>(), dispatcher)));
        const VersionInfo version{1, 4, 0, "t", "main", "abcdef0"};
        auto requests = std::make_shared<UnitRequestHandler>(
            4321, version, clients, std::make_shared<OneCamera>(),
            std::make_shared<CheckingRecordings>(), logger);
        unit = std::make_unique<RouterUnit>(
            4321, version, logger,
            RouterUnit::Services{*GpsSource::create(std::make_shared<FixedGpsReceiver>()),
                                 std::make_shared<NoStorage>(), time_zone, requests});
    }

    std::FILE* sink_file = std::fopen("/dev/null", "w");
    std::shared_ptr<Logger> logger =
        std::make_shared<ConsoleSink>(LoggingDepth::data_full, LogLevel::debug, sink_file);
    std::unique_ptr<RouterUnit> unit;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Local times are read and printed; one fixed zone keeps runs reproducible.
    ::setenv("TZ", "UTC", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Unit unit;
    std::string reply;
    bool answered = false;
    unit.unit->enqueue_command(
        std::string(reinterpret_cast<const char*>(data), size),
        [&](const std::string& text) {
            reply = text;
            answered = true;
        },
        std::nullopt);
    const Status status = unit.unit->process();
    check(status.ok() != !answered, "a reply and an error, or neither");
    if (answered) {
        check(reply.size() >= 3 && reply[0] == '#', "a reply that is no command");
        check(reply.back() == ';' || reply == "#7,US,1", "a reply without its ';'");
    }
    return 0;
}
