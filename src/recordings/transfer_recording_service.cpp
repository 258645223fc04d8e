#include "recordings/transfer_recording_service.hpp"

#include <sys/stat.h>
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

std::int64_t nanoseconds(std::chrono::milliseconds duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

void sort_uploads(std::deque<UploadItem>& uploads) {
    std::stable_sort(uploads.begin(), uploads.end(), [](const UploadItem& a, const UploadItem& b) {
        return a.request.wanted.start() < b.request.wanted.start();
    });
}

}  // namespace

Result<std::shared_ptr<TransferRecordingService>> TransferRecordingService::create(
    Collaborators collaborators, std::string directory, bool usb_directory, Timing timing) {
    if (!create_directories(directory)) {
        return Error::fixed("Failed to create download directory");
    }
    if (collaborators.storage_space) {
        const Status budget = collaborators.storage_space->set_directory(
            directory, usb_directory ? StorageBudget::removable : StorageBudget::memory);
        if (!budget) {
            return budget.error();
        }
    }
    auto service = std::make_shared<TransferRecordingService>(std::move(collaborators),
                                                              std::move(directory), timing);
    service->take_up_journal();
    return service;
}

void TransferRecordingService::take_up_journal() {
    if (!c_.journal) {
        return;
    }
    std::lock_guard lock(mutex_);
    auto contents = c_.journal->load();
    if (!contents) {
        c_.logger->error(tagged("Journal unreadable, starting without it: ") +
                         contents.error().message_text());
        return;
    }
    const TimePoint now = system_now();
    next_id_ = std::max<std::uint64_t>(contents->next_id, 1);
    for (const RecordingRequest& request : contents->downloads) {
        next_id_ = std::max(next_id_, request.id + 1);
    }
    for (const UploadItem& item : contents->uploads) {
        next_id_ = std::max(next_id_, item.request.id + 1);
    }
    for (RecordingRequest& request : contents->downloads) {
        // What a stopped download wrote is no recording. A client the old process left behind
        // may still be writing to that name, so the request downloads under a new id.
        if (!request.local_path.empty()) {
            ::unlink(request.local_path.c_str());
            request.local_path.clear();
        }
        request.id = next_id_++;
        insert_request(downloads_, std::move(request), now);
    }
    for (UploadItem& item : contents->uploads) {
        item.next_attempt = now;
        uploads_.push_back(std::move(item));
    }
    sort_uploads(uploads_);
    if (!downloads_.empty() || !uploads_.empty()) {
        c_.logger->info(tagged("Taken up from the journal: ") + std::to_string(downloads_.size()) +
                        " downloads, " + std::to_string(uploads_.size()) + " uploads");
    }
    persist_locked();
}

void TransferRecordingService::persist_locked() {
    if (!c_.journal) {
        return;
    }
    JournalContents contents;
    contents.next_id = next_id_;
    for (const auto& [id, query] : time_queries_) {
        contents.downloads.push_back(query.request);
    }
    if (current_download_) {
        contents.downloads.push_back(current_download_->request);
    }
    contents.downloads.insert(contents.downloads.end(), downloads_.begin(), downloads_.end());
    if (current_upload_) {
        contents.uploads.push_back(*current_upload_);
    }
    contents.uploads.insert(contents.uploads.end(), uploads_.begin(), uploads_.end());
    if (const Status written = c_.journal->write(contents); !written) {
        c_.logger->error(tagged("Could not write the journal: ") + written.error().message_text() +
                         " (" + std::to_string(written.error().code()) + ")");
    }
}

std::string TransferRecordingService::storage_directory() const {
    std::lock_guard lock(mutex_);
    return directory_;
}

TimePoint TransferRecordingService::retry_time() const {
    return system_now() + nanoseconds(timing_.retry_delay);
}

bool TransferRecordingService::on_memory_storage(const std::string& path) const {
    return path.starts_with(system_path("/tmp/camera") + "/");
}

bool TransferRecordingService::memory_budget_exceeded() const {
    if (!c_.storage_space) {
        return false;
    }
    auto exceeded = c_.storage_space->memory_budget_exceeded();
    return exceeded && *exceeded;
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
    // request after it was accepted. Until the clock answers, the journal keeps the request
    // due at its end.
    const std::uint64_t id = next_id_++;
    time_queries_.emplace(
        id, TimeQuery{std::move(made), RecordingRequest{camera,
                                                        client_id,
                                                        range,
                                                        range,
                                                        recording_file_name(unit, range.start()),
                                                        0,
                                                        range.end(),
                                                        id,
                                                        found->mac,
                                                        {},
                                                        {}}});
    persist_locked();
    lock.unlock();
    driver->get_time([weak = weak(), id](CameraResult<TimePoint> time) {
        if (auto self = weak.lock()) {
            self->on_camera_time(id, std::move(time));
        }
    });
    return {};
}

void TransferRecordingService::on_camera_time(std::uint64_t id, CameraResult<TimePoint> time) {
    std::unique_ptr<CameraDriver> finished;
    std::lock_guard lock(mutex_);
    const auto entry = time_queries_.find(id);
    if (entry == time_queries_.end()) {
        return;
    }
    // The driver is running this completion: keep it alive until the completion returns.
    finished = std::move(entry->second.driver);
    RecordingRequest request = std::move(entry->second.request);
    time_queries_.erase(entry);
    if (!time) {
        c_.logger->error(tagged("Failed to get camera time: ") + kind_text(time.failure()));
        // The server was told the request is accepted: without the camera's clock it goes on
        // as a failed first attempt, tried again after the usual wait, instead of being lost.
        request.attempts = 1;
        request.next_attempt = retry_time();
        insert_request(downloads_, std::move(request), system_now());
        persist_locked();
        return;
    }
    const TimePoint now = system_now();
    request.next_attempt = now;
    if (*time < request.wanted.end()) {
        const std::int64_t delay = request.wanted.end() / kSecond - *time / kSecond;
        c_.logger->info(tagged("Recording not ready yet, delaying first attempt by ") +
                        std::to_string(delay) + " seconds");
        request.next_attempt = now + delay * kSecond;
    }
    insert_request(downloads_, std::move(request), now);
    persist_locked();
}

void TransferRecordingService::tick() {
    watch_download();
    download_step();
    upload_step();
}

void TransferRecordingService::watch_download() {
    std::unique_ptr<CameraDriver> finished;
    std::lock_guard lock(mutex_);
    if (!current_download_) {
        return;
    }
    std::string reason;
    if (system_now() >= current_download_->deadline) {
        reason = "Download attempt timed out: ";
    } else if (current_download_->segment && memory_budget_exceeded()) {
        reason = "Storage budget exceeded, download stopped: ";
    } else {
        return;
    }
    c_.logger->error(tagged(reason) + current_download_->request.file_name);
    // Dropping the driver drops its completions; the client it started is stopped here.
    finished = std::move(current_download_->driver);
    if (current_download_->segment && c_.downloader) {
        c_.downloader->cancel();
    }
    if (!current_download_->request.local_path.empty()) {
        ::unlink(current_download_->request.local_path.c_str());
    }
    retry_current_locked();
    persist_locked();
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
    if (due->attempts < kMaxAttempts && memory_budget_exceeded()) {
        // The recordings already there wait for their uploads; this one waits for room
        // without losing an attempt.
        c_.logger->warning(tagged("Storage budget full, download postponed: ") + due->file_name);
        due->next_attempt = retry_time();
        return;
    }
    RecordingRequest request = std::move(*due);
    downloads_.erase(due);
    if (request.attempts >= kMaxAttempts) {
        c_.logger->error(tagged("Max retries, discarding: ") + request.file_name);
        finish_locked(false, request.client_id, request.file_name);
        persist_locked();
        return;
    }
    auto found = c_.cameras->find(request.camera_id);
    if (!found && request.camera_mac) {
        // After a restart the camera comes back under a new id.
        found = c_.cameras->find_by_mac(*request.camera_mac);
    }
    if (!found || !found->credential) {
        // A camera that is away for the moment (or not found again yet after a restart) is
        // tried again like any failure rather than losing an accepted request.
        c_.logger->error(tagged(!found ? "Camera not found" : "Failed to create driver"));
        request.attempts += 1;
        request.next_attempt = retry_time();
        insert_request(downloads_, std::move(request), now);
        persist_locked();
        return;
    }
    const TimeRange wanted = request.wanted;
    const TimePoint deadline =
        now + wanted.duration_seconds() * kSecond + nanoseconds(timing_.attempt_margin);
    current_download_ =
        CurrentDownload{std::move(request), c_.drivers->create(found->ip, *found->credential),
                        std::nullopt, deadline};
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
    request.local_path.clear();
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
        persist_locked();
    };
    RecordingRequest& request = current_download_->request;
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
    // The path is fixed here, in the directory of this moment, and goes with the recording.
    request.local_path = directory_ + "/" + local_file_name(request.file_name, request.id);
    const std::string local_path = request.local_path;
    persist_locked();
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
    const std::string local_path = current_download_->request.local_path;
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
        persist_locked();
        return;
    }
    RecordingRequest request = std::move(current_download_->request);
    current_download_.reset();
    c_.logger->info(tagged("Download complete: ") + request.file_name);
    // A recording downloaded again after its file was lost keeps its remote name and id.
    if (request.remote_name.empty()) {
        request.remote_name = remote_file_name(request.file_name, c_.video_ids->take());
    }
    uploads_.push_back(UploadItem{std::move(request), 0, system_now()});
    sort_uploads(uploads_);
    persist_locked();
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
    const std::string& local_path = item.request.local_path;
    if (item.attempts >= kMaxAttempts) {
        if (on_memory_storage(local_path)) {
            ::unlink(local_path.c_str());
            c_.logger->error(tagged("Upload max retries, discarding; removed local file ") +
                             local_path);
        } else {
            // The file may be the only copy of the recording: it stays for someone to fetch
            // by hand, and the storage budget removes it in time like any other.
            c_.logger->error(tagged("Upload max retries, discarding; kept local file ") +
                             local_path);
        }
        finish_locked(false, item.request.client_id, item.request.remote_name);
        persist_locked();
        return;
    }
    struct stat info {};
    if (::stat(local_path.c_str(), &info) != 0) {
        // A pulled stick or a clean-up took the file: the camera still has the recording.
        c_.logger->error(tagged("Local file lost, downloading again: ") + local_path);
        RecordingRequest request = std::move(item.request);
        request.local_path.clear();
        request.attempts += 1;
        request.next_attempt = now;
        insert_request(downloads_, std::move(request), now);
        persist_locked();
        return;
    }
    c_.logger->info(tagged("Starting upload: ") + item.request.remote_name);
    current_upload_ = item;
    lock.unlock();
    c_.publisher->publish(item.request.client_id, item.request.local_path, item.request.remote_name,
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
        // Accounts live in memory and come from the server after each start: a recording
        // waits for its account without using up its attempts.
        if (result.error().message() != kNoClientCredentials) {
            item.attempts += 1;
        }
        item.next_attempt = retry_time();
        uploads_.push_back(std::move(item));
        persist_locked();
        return;
    }
    const bool in_memory = on_memory_storage(item.request.local_path);
    if (in_memory) {
        // Memory is the router's RAM: the copy goes as soon as the server has it.
        ::unlink(item.request.local_path.c_str());
    }
    c_.logger->info(tagged("Upload complete: ") + item.request.remote_name);
    finish_locked(true, item.request.client_id, item.request.remote_name);
    persist_locked();
    if (!in_memory && c_.storage_space) {
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
        (void)c_.storage_space->set_directory(
            directory, mount_point.empty() ? StorageBudget::memory : StorageBudget::removable);
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
        status.download = TransferStatus::Download{
            request.camera_id, request.wanted, request.attempts + 1,
            request.local_path.empty()
                ? directory_ + "/" + local_file_name(request.file_name, request.id)
                : request.local_path};
    }
    if (current_upload_) {
        const RecordingRequest& request = current_upload_->request;
        status.upload =
            TransferStatus::Upload{request.remote_name, request.wanted.start(),
                                   current_upload_->attempts + 1, request.local_path};
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
