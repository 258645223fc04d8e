#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cameras/camera_driver.hpp"
#include "cameras/recording_downloader.hpp"
#include "core/mounted_storage.hpp"
#include "platform/storage_lister.hpp"
#include "platform/storage_space_manager.hpp"
#include "recordings/camera_lookup.hpp"
#include "recordings/download_queue.hpp"
#include "recordings/file_publisher.hpp"
#include "recordings/recording_journal.hpp"
#include "recordings/video_id_counter.hpp"
#include "server/recording_requester.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Turns a request for a camera's recording of a time range into an MP4 file on the requesting
// unit's FTP account: it waits until the camera's clock has passed the range, searches the
// camera's recordings, downloads the range into the storage directory, names it with a video
// id and uploads it, each step retried after a delay up to five attempts. One search/download
// and one upload run at a time.
//
// Every accepted request has an id of its own that names its local file, and the file's path
// travels with it to the upload and the clean-up. The queues are kept in a journal and taken
// up again when the service is made after a restart. A download attempt is stopped after the
// recording's length plus a margin, and on the memory-backed "/tmp/camera" when the directory
// outgrows its budget; there the local copy is removed once uploaded or given up.
//
// Threads: request_recording may be called from any thread; tick, the storage handlers and
// every driver and publisher completion run on the event loop's thread. One mutex guards the
// state; drivers and the publisher are called with it released, since their completions may
// run at once. Completions that arrive after the service is gone are ignored.
class TransferRecordingService final
    : public RecordingRequester,
      public std::enable_shared_from_this<TransferRecordingService> {
public:
    struct Collaborators {
        std::shared_ptr<CameraLookup> cameras;
        std::shared_ptr<CameraDriverFactory> drivers;
        std::shared_ptr<FilePublisher> publisher;
        std::shared_ptr<StorageSpaceManager> storage_space;
        std::shared_ptr<VideoIdCounter> video_ids;
        std::shared_ptr<StorageLister> storage_lister;
        std::shared_ptr<Logger> logger;
        // Stopped when an attempt runs out of time; may be null.
        std::shared_ptr<RecordingDownloader> downloader{};
        // May be null: nothing survives a restart.
        std::shared_ptr<RecordingJournal> journal{};
    };
    struct Timing {
        // Wait after a failed attempt.
        std::chrono::milliseconds retry_delay{std::chrono::seconds(60)};
        // Added to the recording's length to bound one search-and-download attempt.
        std::chrono::milliseconds attempt_margin{std::chrono::seconds(60)};
    };

    // Makes `directory` with its missing parents ("Failed to create download directory") and
    // hands it to the storage budget ("Invalid directory"): the USB one when `usb_directory`,
    // else the memory one. Then takes up the journal; an unreadable journal is logged and set
    // aside, never an error.
    static Result<std::shared_ptr<TransferRecordingService>> create(Collaborators collaborators,
                                                                    std::string directory,
                                                                    bool usb_directory,
                                                                    Timing timing);

    // Errors: "No storage available", the store's ("Camera not found"), "Camera credentials not
    // set". On success the camera is asked for its clock; the outcome is only logged.
    Status request_recording(const Uuid& camera, std::uint32_t client_id, const UnitIdentity& unit,
                             const TimeRange& range) override;

    // The download watchdog, the download step, then the upload step (every 500 ms).
    void tick();

    void on_storage_mounted(const MountedStorage& storage);
    void on_storage_unmounted(const MountedStorage& storage);

    std::string storage_directory() const;

    // What an operator sees of the transfers.
    struct TransferStatus {
        struct Download {
            Uuid camera;
            TimeRange range;
            int attempt = 0;  // 1 for the first
            std::string local_path;
        };
        struct Upload {
            std::string remote_name;
            TimePoint recording_start = 0;
            int attempt = 0;
            std::string local_path;
        };
        std::size_t downloads_queued = 0;
        std::size_t uploads_queued = 0;
        std::optional<Download> download;  // the search or download in flight
        std::optional<Upload> upload;
        std::string last_result;  // empty until a recording was uploaded or given up
    };
    TransferStatus transfer_status() const;

    // A recording that was uploaded, or given up after its last attempt (`file` is the name it
    // has on the server when uploaded, else the local file name).
    struct Outcome {
        bool uploaded = false;
        std::uint32_t client_id = 0;
        std::string file;
    };
    // Told of every outcome, with the service's lock held: it must not call back into the
    // service.
    void set_outcome_observer(std::function<void(const Outcome&)> observer);

    TransferRecordingService(Collaborators collaborators, std::string directory, Timing timing)
        : c_(std::move(collaborators)), directory_(std::move(directory)), timing_(timing) {}

private:
    struct CurrentDownload {
        RecordingRequest request;
        std::unique_ptr<CameraDriver> driver;
        std::optional<RecordingSegment> segment;
        TimePoint deadline = 0;
    };
    // A request whose camera is being asked for its clock.
    struct TimeQuery {
        std::unique_ptr<CameraDriver> driver;
        RecordingRequest request;
    };

    void take_up_journal();
    void on_camera_time(std::uint64_t id, CameraResult<TimePoint> time);
    void watch_download();
    void download_step();
    void upload_step();
    void on_search(CameraResult<std::vector<RecordingSegment>> found);
    void on_download(CameraOutcome outcome);
    void on_upload(Status result);
    // Puts the current download back in the queue after a failure. Mutex held.
    void retry_current_locked();
    Status set_storage_locked(const std::string& mount_point);
    bool memory_budget_exceeded() const;
    bool on_memory_storage(const std::string& path) const;
    // Writes the queues to the journal. Mutex held.
    void persist_locked();
    TimePoint retry_time() const;
    std::weak_ptr<TransferRecordingService> weak() { return weak_from_this(); }

    Collaborators c_;
    mutable std::mutex mutex_;
    std::string directory_;
    Timing timing_;
    std::deque<RecordingRequest> downloads_;
    std::deque<UploadItem> uploads_;
    std::optional<CurrentDownload> current_download_;
    std::optional<UploadItem> current_upload_;
    // Requests waiting for their camera's clock, by request id.
    std::map<std::uint64_t, TimeQuery> time_queries_;
    std::uint64_t next_id_ = 1;

    // Mutex held.
    void finish_locked(bool uploaded, std::uint32_t client_id, const std::string& file);
    std::function<void(const Outcome&)> outcome_observer_;
    std::string last_result_;
};

}  // namespace voxapp
