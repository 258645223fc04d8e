#include "app/composition_root.hpp"
#include "app/fatal.hpp"
#include "app/wiring.hpp"
#include "core/system_paths.hpp"
#include "core/timing_overrides.hpp"
#include "recordings/curl_ftp_file_publisher.hpp"
#include "recordings/open_rtsp_recording_downloader.hpp"
#include "recordings/repository_camera_lookup.hpp"
#include "system/events/events.hpp"
#include "system/io/timer.hpp"

namespace voxapp {

namespace {

// The transfer service's tick; kept by the registry so it lives as long as the loop.
struct RecordingRegistrations {
    std::vector<Timer> timers;
};

}  // namespace

std::shared_ptr<RecordingDownloader> CompositionRoot::recording_downloader() {
    return registry_.get<RecordingDownloader>([this] {
        return std::shared_ptr<RecordingDownloader>(require(
            OpenRtspRecordingDownloader::create(*event_loop(), logger()), "RecordingDownloader"));
    });
}

std::shared_ptr<FilePublisher> CompositionRoot::file_publisher() {
    return registry_.get<FilePublisher>([this] {
        return std::shared_ptr<FilePublisher>(
            require(CurlFtpFilePublisher::create(client_service(), *event_loop(), logger(),
                                                 context_.settings().ftp_address),
                    "CurlFtpFilePublisher::create"));
    });
}

std::shared_ptr<TransferRecordingService> CompositionRoot::recording_service() {
    return registry_.get<TransferRecordingService>([this] {
        const std::string& usb = first_usb_mount_point();
        TransferRecordingService::Collaborators collaborators{
            std::make_shared<RepositoryCameraLookup>(camera_store()),
            camera_driver_factory(),
            file_publisher(),
            storage_space_manager(),
            std::make_shared<VideoIdCounter>(system_path("/root/app/lastVideoId")),
            storage_lister(),
            logger(),
            recording_downloader(),
            std::make_shared<RecordingJournal>(system_path("/root/app/recordings.journal"))};
        TransferRecordingService::Timing timing;
        timing.retry_delay = timing_or("recording_retry", timing.retry_delay);
        timing.attempt_margin = timing_or("recording_attempt_margin", timing.attempt_margin);
        return require(
            TransferRecordingService::create(
                std::move(collaborators),
                usb.empty() ? system_path("/tmp/camera") : usb + "/camera", !usb.empty(), timing),
            "TransferRecordingService::create");
    });
}

// After the log file and the event logger, the recordings follow a storage coming or going.
void subscribe_recordings(CompositionRoot& root) {
    auto dispatcher = root.event_dispatcher();
    std::weak_ptr<TransferRecordingService> recordings = root.recording_service();
    dispatcher->subscribe<StorageMounted>([recordings](const StorageMounted& event) {
        if (auto service = recordings.lock()) {
            service->on_storage_mounted(event.storage);
        }
    });
    dispatcher->subscribe<StorageUnmounted>([recordings](const StorageUnmounted& event) {
        if (auto service = recordings.lock()) {
            service->on_storage_unmounted(event.storage);
        }
    });
}

void register_recordings(CompositionRoot& root, EventLoop& loop) {
    auto registrations = root.registry().get<RecordingRegistrations>([&root] {
        auto made = std::make_shared<RecordingRegistrations>();
        std::weak_ptr<TransferRecordingService> recordings = root.recording_service();
        made->timers.push_back(require(Timer::create(500, 500,
                                                     [recordings] {
                                                         if (auto service = recordings.lock()) {
                                                             service->tick();
                                                         }
                                                     }),
                                       "recording_transfer_service_timer"));
        return made;
    });
    for (Timer& timer : registrations->timers) {
        (void)loop.add(timer);
    }
}

}  // namespace voxapp
