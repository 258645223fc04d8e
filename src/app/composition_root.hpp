#pragma once

#include <memory>
#include <string>

#include "app/application.hpp"
#include "app/application_context.hpp"
#include "app/service_registry.hpp"
#include "cameras/async_http_client_using_curl.hpp"
#include "cameras/camera_service.hpp"
#include "cameras/in_memory_camera_store.hpp"
#include "cameras/recording_downloader.hpp"
#include "cameras/uuid_generator.hpp"
#include "instruments/device_count_store.hpp"
#include "instruments/device_manager.hpp"
#include "platform/gps_source.hpp"
#include "platform/storage_lister.hpp"
#include "platform/storage_space_manager.hpp"
#include "platform/time_zone_backend.hpp"
#include "platform/time_zone_service.hpp"
#include "recordings/file_publisher.hpp"
#include "recordings/transfer_recording_service.hpp"
#include "server/client_service.hpp"
#include "server/device_link.hpp"
#include "server/unit_request_handler.hpp"
#include "system/events/event_dispatcher.hpp"
#include "system/io/event_loop.hpp"

namespace voxapp {

// Creates every long-lived service of the daemon once, on first request, each after the
// collaborators it asks for, and destroys them in reverse order when it is destroyed. A service
// that cannot be created ends the process with a FATAL line. Main thread only.
//
// The dispatcher's subscriptions and the event loop's registrations are made once every service
// exists, in their fixed orders, and before the application runs; nothing is published or
// polled before that except what the services do while they are built.
class CompositionRoot {
public:
    explicit CompositionRoot(ApplicationContext& context) : context_(context) {}
    ~CompositionRoot() { registry_.clear(); }
    CompositionRoot(const CompositionRoot&) = delete;
    CompositionRoot& operator=(const CompositionRoot&) = delete;

    // Composes everything the application needs, then the application itself with its stop
    // signal handlers.
    std::shared_ptr<Application> application();

    std::shared_ptr<Logger> logger() { return context_.logger(); }
    std::shared_ptr<EventDispatcher> event_dispatcher();
    std::shared_ptr<EventLoop> event_loop();
    std::shared_ptr<StorageLister> storage_lister();
    std::shared_ptr<StorageSpaceManager> storage_space_manager();
    std::shared_ptr<TimeZoneBackend> time_zone_backend();
    std::shared_ptr<TimeZoneService> time_zone_service();
    std::shared_ptr<UuidGenerator> uuid_generator();
    std::shared_ptr<InMemoryCameraStore> camera_store();
    std::shared_ptr<AsyncHttpClientUsingCurl> http_client();
    std::shared_ptr<RecordingDownloader> recording_downloader();
    std::shared_ptr<FilePublisher> file_publisher();
    std::shared_ptr<TransferRecordingService> recording_service();
    std::shared_ptr<CameraDriverFactory> camera_driver_factory();
    std::shared_ptr<CameraService> camera_service();
    std::shared_ptr<GpsSource> gps_source();
    std::shared_ptr<InMemoryClientStore> client_store();
    std::shared_ptr<ClientService> client_service();
    std::shared_ptr<UnitRequestHandler> unit_request_handler();
    std::shared_ptr<DeviceCountStore> device_count_store();
    std::shared_ptr<SerialDeviceTracker> serial_device_tracker();
    std::shared_ptr<DeviceManager> device_manager();
    std::uint32_t router_serial_number();
    // The mount point of the first USB storage at start-up; empty when there is none.
    const std::string& first_usb_mount_point();

    // The composition context of the wiring units: settings, logger, application directory.
    ApplicationContext& context() { return context_; }
    // Keeps what the wiring units register (loop handlers, timers) as long as the services.
    ServiceRegistry& registry() { return registry_; }

private:
    void subscribe_all();
    void register_with_event_loop();

    ApplicationContext& context_;
    ServiceRegistry registry_;
    bool subscribed_ = false;
    bool registered_ = false;
    std::optional<std::uint32_t> router_serial_;
    std::optional<std::string> first_usb_mount_point_;
};

}  // namespace voxapp
