#include "recordings/transfer_recording_service.hpp"

#include <unistd.h>

#include <algorithm>

#include "core/directories.hpp"
#include "core/system_paths.hpp"
#include "recordings/recording_names.hpp"

namespace voxapp {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr int kMaxAttempts = 5;
constexpr const char* kTag = "[RecordingService] ";

std::string tagged(const std::string& text) {
    return kTag + text;
}

std::string kind_text(const CameraDriverFailure& failure) {
    return std::to_string(static_cast<int>(failure.error));
}

}  // namespace

Result<std::shared_ptr<TransferRecordingService>> TransferRecordingService::create(
    Collaborators collaborators, std::string directory, bool usb_directory, Timing timing) {
    if (!create_directories(directory)) {
        return Error::fixed("Failed to create download directory");
    }
    if (collaborators.storage_space) {
        const Status budget =
            collaborators.storage_space->set_directory(usb_directory ? directory : "");
        if (!budget) {
            return budget.error();
        }
    }
    return std::make_shared<TransferRecordingService>(std::move(collaborators),
                                                      std::move(directory), timing);
}

std::string TransferRecordingService::storage_directory() const {
    std::lock_guard lock(mutex_);
    return directory_;
}

TimePoint TransferRecordingService::retry_time() const {
    return system_now() +
           std::chrono::duration_cast<std::chrono::nanoseconds>(timing_.retry_delay).count();
}

Status TransferRecordingService::request_recording(const Uuid& camera, std::uint32_t client_id,
                                                   const UnitIdentity& unit,
                                                   const TimeRange& range) {
    std::unique_lock lock(mutex_);
    if (directory_.empty()) {
        return Error::fixed("No storage available");
    }
    auto found = c_.cameras->find(camera);
    if (!found) {
        return found.error();
    }
    if (!found->credential) {
        return Error::fixed("Camera credentials not set");
    }
    std::unique_ptr<CameraDriver> made = c_.drivers->create(found->ip, *found->credential);
    CameraDriver* driver = made.get();
    // One query per request: replacing an earlier query for the same camera would drop that
    // request after it was accepted.
    const std::uint64_t query = next_time_query_++;
    time_queries_[query] = std::move(made);
    const std::string file_name = recording_file_name(unit, range.start());
    lock.unlock();
    driver->get_time(
        [weak = weak(), query, camera, client_id, range, file_name](CameraResult<TimePoint> time) {
            if (auto self = weak.lock()) {
                self->on_camera_time(query, camera, client_id, range, file_name, std::move(time));
            }
        });
    return {};
}

void TransferRecordingService::on_camera_time(std::uint64_t query, const Uuid& camera,
                                              std::uint32_t client_id, const TimeRange& range,
                                              const std::string& file_name,
                                              CameraResult<TimePoint> time) {
    std::unique_ptr<CameraDriver> finished;
    std::lock_guard lock(mutex_);
    // The driver is running this completion: keep it alive until the completion returns.
    if (auto entry = time_queries_.find(query); entry != time_queries_.end()) {
        finished = std::move(entry->second);
        time_queries_.erase(entry);
    }
    if (!time) {
        c_.logger->error(tagged("Failed to get camera time: ") + kind_text(time.failure()));
        // The server was told the request is accepted: without the camera's clock it goes on
        // as a failed first attempt, tried again after the usual wait, instead of being lost.
        insert_request(
            downloads_,
            RecordingRequest{camera, client_id, range, range, file_name, 1, retry_time()},
            system_now());
        return;
    }
    const TimePoint now = system_now();
    TimePoint next_attempt = now;
    if (*time < range.end()) {
        const std::int64_t delay = range.end() / kSecond - *time / kSecond;
        c_.logger->info(tagged("Recording not ready yet, delaying first attempt by ") +
                        std::to_string(delay) + " seconds");
        next_attempt = now + delay * kSecond;
    }
    insert_request(downloads_,
                   RecordingRequest{camera, client_id, range, range, file_name, 0, next_attempt},
                   now);
}

void TransferRecordingService::tick() {
    download_step();
    upload_step();
}

void TransferRecordingService::download_step() {
    std::unique_lock lock(mutex_);
    if (current_download_ || downloads_.empty()) {
        return;
    }
    const TimePoint now = system_now();
    const auto due =
        std::find_if(downloads_.begin(), downloads_.end(),
                     [now](const RecordingRequest& r) { return r.next_attempt <= now; });
    if (due == downloads_.end()) {
        return;
    }
    RecordingRequest request = std::move(*due);
    downloads_.erase(due);
    if (request.attempts >= kMaxAttempts) {
        c_.logger->error(tagged("Max retries, discarding: ") + request.file_name);
        finish_locked(false, request.client_id, request.file_name);
        return;
    }
    auto found = c_.cameras->find(request.camera_id);
    if (!found) {
        c_.logger->error(tagged("Camera not found"));
        finish_locked(false, request.client_id, request.file_name);
        return;
    }
    if (!found->credential) {
        c_.logger->error(tagged("Failed to create driver"));
        request.attempts += 1;
        request.next_attempt = retry_time();
        insert_request(downloads_, std::move(request), now);
        return;
    }
    const TimeRange wanted = request.wanted;
    current_download_ = CurrentDownload{
        std::move(request), c_.drivers->create(found->ip, *found->credential), std::nullopt};
    CameraDriver* driver = current_download_->driver.get();
    lock.unlock();
    driver->search_recordings(
        wanted, [weak = weak()](CameraResult<std::vector<RecordingSegment>> found_segments) {
            if (auto self = weak.lock()) {
                self->on_search(std::move(found_segments));
            }
        });
}

void TransferRecordingService::retry_current_locked() {
    RecordingRequest request = std::move(current_download_->request);
    current_download_.reset();
    request.attempts += 1;
    request.next_attempt = retry_time();
    insert_request(downloads_, std::move(request), system_now());
}

void TransferRecordingService::on_search(CameraResult<std::vector<RecordingSegment>> found) {
    std::unique_ptr<CameraDriver> finished;
    std::unique_lock lock(mutex_);
    if (!current_download_) {
        return;
    }
    // A retry releases the driver that is running this completion; it must outlive the call.
    auto release_and_retry = [&] {
        finished = std::move(current_download_->driver);
        retry_current_locked();
    };
    const RecordingRequest& request = current_download_->request;
    const TimeRange wanted = request.wanted;
    if (!found) {
        c_.logger->error(tagged("Search failed: ") + kind_text(found.failure()));
        release_and_retry();
        return;
    }
    if (found->empty()) {
        c_.logger->info(tagged("No recordings found for time range: ") + wanted.to_string());
        release_and_retry();
        return;
    }
    const RecordingSegment* full = nullptr;
    const RecordingSegment* partial = nullptr;
    for (const RecordingSegment& segment : *found) {
        c_.logger->debug(tagged("Found segment: ") + segment.range.to_string() +
                         ", url: " + segment.playback_uri);
        if (segment.range.end() >= wanted.end()) {
            full = &segment;
            break;
        }
        if (partial == nullptr || segment.range.end() > partial->range.end()) {
            partial = &segment;
        }
    }
    if (full == nullptr && request.attempts >= kMaxAttempts - 1 && partial != nullptr) {
        c_.logger->info(tagged("Last attempt, using partial recording for: ") + wanted.to_string());
        full = partial;
    }
    if (full == nullptr) {
        if (request.attempts + 1 < kMaxAttempts) {
            c_.logger->info(tagged("No full recording yet for: ") + wanted.to_string());
        } else {
            c_.logger->error(tagged("No recording found on last attempt for: ") +
                             wanted.to_string());
        }
        release_and_retry();
        return;
    }
    std::string uri = full->playback_uri.substr(0, full->playback_uri.find('?')) +
                      "?starttime=" + format_time_point(wanted.start(), "%Y%m%dT%H%M%SZ");
    RecordingSegment chosen{wanted, std::move(uri)};
    current_download_->segment = chosen;
    const std::string local_path = directory_ + "/" + request.file_name;
    c_.logger->info(tagged("Downloading: ") + request.file_name +
                    " from url: " + chosen.playback_uri);
    c_.logger->debug(tagged("Time range: ") + chosen.range.to_string());
    CameraDriver* driver = current_download_->driver.get();
    lock.unlock();
    driver->download_recording(chosen, local_path, [weak = weak()](CameraOutcome outcome) {
        if (auto self = weak.lock()) {
            self->on_download(std::move(outcome));
        }
    });
}

void TransferRecordingService::on_download(CameraOutcome outcome) {
    std::unique_ptr<CameraDriver> finished;
    std::lock_guard lock(mutex_);
    if (!current_download_) {
        return;
    }
    finished = std::move(current_download_->driver);
    current_download_->segment.reset();
    const std::string local_path = directory_ + "/" + current_download_->request.file_name;
    if (!outcome) {
        // The downloader's own reason (a full storage, the client's exit code) is worth
        // reading; other details come from the camera and stay out of the log.
        const CameraDriverFailure& failure = outcome.failure();
        c_.logger->error(tagged("Download failed: ") + kind_text(failure) +
                         (failure.error == CameraDriverError::DownloadFailed
                              ? " (" + failure.detail + ")"
                              : std::string()));
        ::unlink(local_path.c_str());
        retry_current_locked();
        return;
    }
    RecordingRequest request = std::move(current_download_->request);
    current_download_.reset();
    c_.logger->info(tagged("Download complete: ") + request.file_name);
    const std::uint64_t id = c_.video_ids->take();
    uploads_.push_back(UploadItem{request.client_id, local_path,
                                  remote_file_name(request.file_name, id), 0, system_now(),
                                  request.wanted.start()});
    std::stable_sort(uploads_.begin(), uploads_.end(),
                     [](const UploadItem& a, const UploadItem& b) {
                         return a.recording_start < b.recording_start;
                     });
}

void TransferRecordingService::upload_step() {
    std::unique_lock lock(mutex_);
    if (c_.publisher->is_busy() || current_upload_ || uploads_.empty()) {
        return;
    }
    const TimePoint now = system_now();
    const auto due = std::find_if(uploads_.begin(), uploads_.end(), [now](const UploadItem& item) {
        return item.next_attempt <= now;
    });
    if (due == uploads_.end()) {
        return;
    }
    UploadItem item = std::move(*due);
    uploads_.erase(due);
    if (item.attempts >= kMaxAttempts) {
        // The file may be the only copy of the recording: it stays for someone to fetch by
        // hand, and the storage budget removes it in time like any other.
        c_.logger->error(tagged("Upload max retries, discarding; kept local file ") +
                         item.local_path);
        finish_locked(false, item.client_id, item.remote_name);
        return;
    }
    c_.logger->info(tagged("Starting upload: ") + item.remote_name);
    current_upload_ = item;
    lock.unlock();
    c_.publisher->publish(item.client_id, item.local_path, item.remote_name,
                          [weak = weak()](Status result) {
                              if (auto self = weak.lock()) {
                                  self->on_upload(std::move(result));
                              }
                          });
}

void TransferRecordingService::on_upload(Status result) {
    std::lock_guard lock(mutex_);
    if (!current_upload_) {
        return;
    }
    UploadItem item = std::move(*current_upload_);
    current_upload_.reset();
    if (!result) {
        c_.logger->error(tagged("Upload failed: ") + result.error().message_text());
        item.attempts += 1;
        item.next_attempt = retry_time();
        uploads_.push_back(std::move(item));
        return;
    }
    c_.logger->info(tagged("Upload complete: ") + item.remote_name);
    finish_locked(true, item.client_id, item.remote_name);
    if (c_.storage_space) {
        auto freed = c_.storage_space->clean_up();
        if (freed && *freed > 0) {
            c_.logger->info(tagged("Cleaned up ") + std::to_string(*freed) + " bytes");
        }
    }
}

Status TransferRecordingService::set_storage_locked(const std::string& mount_point) {
    const std::string directory =
        mount_point.empty() ? system_path("/tmp/camera") : mount_point + "/camera";
    if (!create_directories(directory)) {
        return Error::fixed("Failed to create directory");
    }
    directory_ = directory;
    if (c_.storage_space) {
        (void)c_.storage_space->set_directory(mount_point.empty() ? "" : directory);
    }
    return {};
}

void TransferRecordingService::on_storage_mounted(const MountedStorage& storage) {
    if (storage.kind != StorageKind::USB) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (directory_ == system_path("/tmp/camera")) {
        (void)set_storage_locked(storage.mount_point);
    }
}

void TransferRecordingService::on_storage_unmounted(const MountedStorage& storage) {
    if (storage.kind != StorageKind::USB) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (storage.mount_point + "/camera" != directory_) {
        return;
    }
    auto left = c_.storage_lister
                    ? c_.storage_lister->list_by_kind(StorageKind::USB)
                    : Result<std::vector<MountedStorage>>(std::vector<MountedStorage>{});
    (void)set_storage_locked(left && !left->empty() ? left->front().mount_point : std::string());
}

TransferRecordingService::TransferStatus TransferRecordingService::transfer_status() const {
    std::lock_guard lock(mutex_);
    TransferStatus status;
    status.downloads_queued = downloads_.size();
    status.uploads_queued = uploads_.size();
    if (current_download_) {
        const RecordingRequest& request = current_download_->request;
        status.download =
            TransferStatus::Download{request.camera_id, request.wanted, request.attempts + 1,
                                     directory_ + "/" + request.file_name};
    }
    if (current_upload_) {
        status.upload =
            TransferStatus::Upload{current_upload_->remote_name, current_upload_->recording_start,
                                   current_upload_->attempts + 1, current_upload_->local_path};
    }
    status.last_result = last_result_;
    return status;
}

void TransferRecordingService::set_outcome_observer(std::function<void(const Outcome&)> observer) {
    std::lock_guard lock(mutex_);
    outcome_observer_ = std::move(observer);
}

void TransferRecordingService::finish_locked(bool uploaded, std::uint32_t client_id,
                                             const std::string& file) {
    last_result_ = (uploaded ? "uploaded " : "given up ") + file;
    if (outcome_observer_) {
        outcome_observer_(Outcome{uploaded, client_id, file});
    }
}

}  // namespace voxapp
