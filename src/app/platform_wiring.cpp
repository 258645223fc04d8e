#include "app/composition_root.hpp"
#include "app/fatal.hpp"
#include "app/wiring.hpp"
#include "platform/gps_receiver.hpp"
#include "platform/mount_table_storage_lister.hpp"
#include "platform/mount_table_watcher.hpp"
#include "platform/system_time_zone_monitor.hpp"
#include "platform/time_zone_table.hpp"
#include "platform/uci_time_zone_backend.hpp"
#include "system/events/events.hpp"

namespace voxapp {

namespace {

// The platform's watchers; kept by the registry so they live as long as the loop.
struct PlatformRegistrations {
    std::unique_ptr<MountTableWatcher> mount_table_watcher;
    std::unique_ptr<SystemTimeZoneMonitor> time_zone_monitor;
};

}  // namespace

std::shared_ptr<StorageLister> CompositionRoot::storage_lister() {
    return registry_.get<StorageLister>([] { return std::make_shared<MountTableStorageLister>(); });
}

const std::string& CompositionRoot::first_usb_mount_point() {
    if (!first_usb_mount_point_) {
        auto storages = storage_lister()->list_by_kind(StorageKind::USB);
        if (!storages) {
            logger()->error("Failed to list mounted storages: " +
                            std::to_string(storages.error().code()));
        }
        first_usb_mount_point_ =
            storages && !storages->empty() ? storages->front().mount_point : std::string();
    }
    return *first_usb_mount_point_;
}

std::shared_ptr<StorageSpaceManager> CompositionRoot::storage_space_manager() {
    return registry_.get<StorageSpaceManager>([this] {
        const std::string& usb = first_usb_mount_point();
        return std::make_shared<StorageSpaceManager>(usb.empty() ? "" : usb + "/camera", logger());
    });
}

std::shared_ptr<TimeZoneBackend> CompositionRoot::time_zone_backend() {
    return registry_.get<TimeZoneBackend>([this] {
        auto loop = event_loop();
        return std::shared_ptr<TimeZoneBackend>(
            require(UciTimeZoneBackend::create(
                        *loop, load_time_zone_table(context_.settings().timezones_path), logger()),
                    "UciTimeZoneBackend::create"));
    });
}

std::shared_ptr<TimeZoneService> CompositionRoot::time_zone_service() {
    return registry_.get<TimeZoneService>([this] {
        return std::shared_ptr<TimeZoneService>(
            require(TimeZoneService::create(time_zone_backend(), event_dispatcher()),
                    "TimeZoneService::create"));
    });
}

std::shared_ptr<GpsSource> CompositionRoot::gps_source() {
    return registry_.get<GpsSource>([this] {
        // The position as the bus worker last read it; without a bus every read fails as a bus
        // error.
        std::shared_ptr<UbusService> bus = bus_service(*this);
        std::shared_ptr<GpsReceiver> receiver =
            bus ? std::shared_ptr<GpsReceiver>(bus->gps_receiver()) : make_gps_receiver(nullptr);
        return require(GpsSource::create(std::move(receiver)), "GpsSource::create");
    });
}

void subscribe_log_file_to_storage(CompositionRoot& root) {
    auto dispatcher = root.event_dispatcher();
    std::shared_ptr<FileSink> file_sink = root.context().file_sink();
    std::shared_ptr<StorageLister> lister = root.storage_lister();
    dispatcher->subscribe<StorageMounted>(
        [file_sink](const StorageMounted& event) { file_sink->on_storage_mounted(event.storage); });
    dispatcher->subscribe<StorageUnmounted>([file_sink, lister](const StorageUnmounted& event) {
        file_sink->on_storage_unmounted(event.storage,
                                        [lister] { return usb_mount_points(*lister); });
    });
}

void register_platform(CompositionRoot& root, EventLoop& loop) {
    auto registrations = root.registry().get<PlatformRegistrations>([&root] {
        auto made = std::make_shared<PlatformRegistrations>();
        made->mount_table_watcher =
            require(MountTableWatcher::create(root.storage_lister(), root.event_dispatcher()),
                    "App::System::Storage::MountTableWatcher");
        made->time_zone_monitor =
            require(SystemTimeZoneMonitor::create(root.logger(), root.time_zone_service()),
                    "SystemTimeZoneMonitor::create");
        return made;
    });
    (void)loop.add(*registrations->mount_table_watcher);
    (void)loop.add(*registrations->time_zone_monitor);
}

}  // namespace voxapp
