#include "recordings/open_rtsp_recording_downloader.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

#include "core/single_quoted.hpp"
#include "core/system_paths.hpp"

namespace voxapp {

Result<std::unique_ptr<OpenRtspRecordingDownloader>> OpenRtspRecordingDownloader::create(
    EventLoop& loop, std::shared_ptr<Logger> logger) {
    auto runner = ProcessRunner::create(loop);
    if (!runner) {
        return runner.error();
    }
    return std::make_unique<OpenRtspRecordingDownloader>(std::move(*runner), std::move(logger));
}

OpenRtspRecordingDownloader::~OpenRtspRecordingDownloader() {
    // Left running, the client would go on writing into a file that a new process reuses.
    runner_.stop_children(std::chrono::seconds(2));
}

void OpenRtspRecordingDownloader::cancel() {
    if (!runner_.has_running_children()) {
        return;
    }
    completion_ = nullptr;
    runner_.signal_children(SIGKILL);
}

std::string OpenRtspRecordingDownloader::command_line(const std::string& program,
                                                      const RecordingDownloadRequest& request) {
    return single_quoted(program) + " -4 -w " + std::to_string(request.width) + " -h " +
           std::to_string(request.height) + " -f " + std::to_string(request.frame_rate) +
           " -b 1048576 -p 554 -d " + std::to_string(request.duration_seconds) + " -t " +
           single_quoted(request.url) + " > " + single_quoted(request.output_path);
}

std::string OpenRtspRecordingDownloader::masked_url(const std::string& url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return url;
    }
    // The password may hold '@', '/', '?' or ':' itself, so the credentials end at the last '@';
    // should the path hold one too, more is masked than needed, never less.
    const std::size_t at = url.rfind('@');
    const std::size_t colon = url.find(':', scheme + 3);
    if (at == std::string::npos || at < scheme + 3 || colon == std::string::npos || colon > at) {
        return url;
    }
    return url.substr(0, colon + 1) + "****" + url.substr(at);
}

void OpenRtspRecordingDownloader::download(const RecordingDownloadRequest& request,
                                           Completion completion) {
    if (runner_.has_running_children()) {
        completion(Error::fixed("Downloader is busy"));
        return;
    }
    if (logger_) {
        logger_->info(
            "[OpenRtspRecordingDownloader] Starting download: " + masked_url(request.url) + " to " +
            request.output_path + " for " + std::to_string(request.duration_seconds) +
            " seconds. Framerate: " + std::to_string(request.frame_rate) +
            " Resolution: " + std::to_string(request.width) + "x" + std::to_string(request.height));
    }
    output_path_ = request.output_path;
    completion_ = std::move(completion);
    const Status started = runner_.run(command_line(system_path("/root/app/openRTSP"), request),
                                       [this](int exit_code) { finish(exit_code); });
    if (!started) {
        Completion done = std::move(completion_);
        completion_ = nullptr;
        done(started.error());
    }
}

void OpenRtspRecordingDownloader::finish(int exit_code) {
    Completion done = std::move(completion_);
    completion_ = nullptr;
    const std::string path = std::move(output_path_);
    output_path_.clear();
    if (exit_code != 0) {
        // What the client wrote before failing is not a recording anyone can use.
        ::unlink(path.c_str());
        if (done) {
            done(Error::owned("openRTSP failed with exit code " + std::to_string(exit_code)));
        }
        return;
    }
    // A storage that filled up ends the client's output early, and the client may still exit
    // 0: a truncated recording must not pass for a complete one. (ramfs reports no sizes.)
    const std::size_t slash = path.rfind('/');
    struct statvfs space {};
    if (slash != std::string::npos &&
        ::statvfs(slash == 0 ? "/" : path.substr(0, slash).c_str(), &space) == 0 &&
        space.f_blocks > 0 && space.f_bfree == 0) {
        ::unlink(path.c_str());
        if (done) {
            done(Error::owned("Storage full, recording incomplete: " + path, ENOSPC));
        }
        return;
    }
    // A client that could not reach the stream may still exit 0; nothing written is no
    // recording, and an upload of it would only fail five times.
    struct stat written {};
    if (::stat(path.c_str(), &written) != 0 || written.st_size == 0) {
        ::unlink(path.c_str());
        if (done) {
            done(Error::owned("openRTSP left no recording in " + path));
        }
        return;
    }
    if (done) {
        done(Status());
    }
}

}  // namespace voxapp
