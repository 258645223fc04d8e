#pragma once

#include <memory>
#include <string>

#include "cameras/recording_downloader.hpp"
#include "system/io/event_loop.hpp"
#include "system/io/process_runner.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Fetches a recording with the external RTSP client "/root/app/openRTSP" (below VOXAPP_ROOT),
// which writes the MP4 data to its standard output; the shell redirects it into the output
// file. Every value of the request reaches the command line single-quoted, so no URL, password
// or path can run a command or add an option. A failed download leaves no output file; a client
// that exits 0 without writing anything has failed too.
//
// Threads: the loop's thread only; completions are called from EventLoop::poll (or at once
// from download when the download cannot start). The object must outlive its running download
// or be destroyed with it discarded: destroying it stops the client (SIGTERM, then SIGKILL after
// two seconds), waits for it and drops the pending completion uncalled.
class OpenRtspRecordingDownloader final : public RecordingDownloader {
public:
    // Error: the process runner's ("Too many ProcessRunner instances", errno texts).
    static Result<std::unique_ptr<OpenRtspRecordingDownloader>> create(
        EventLoop& loop, std::shared_ptr<Logger> logger);

    void download(const RecordingDownloadRequest& request, Completion completion) override;
    bool is_busy() const override { return runner_.has_running_children(); }
    // Kills the client at once.
    void cancel() override;

    // The shell command for `request`, with `program` as the client's path.
    static std::string command_line(const std::string& program,
                                    const RecordingDownloadRequest& request);
    // `url` with the password of its "user:password@" part replaced by "****", for the log.
    static std::string masked_url(const std::string& url);

    OpenRtspRecordingDownloader(ProcessRunner runner, std::shared_ptr<Logger> logger)
        : runner_(std::move(runner)), logger_(std::move(logger)) {}
    ~OpenRtspRecordingDownloader() override;

private:
    void finish(int exit_code);

    ProcessRunner runner_;
    std::shared_ptr<Logger> logger_;
    std::string output_path_;
    Completion completion_;
};

}  // namespace voxapp
