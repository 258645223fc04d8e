#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "recordings/file_publisher.hpp"
#include "server/client_service.hpp"
#include "system/io/event_loop.hpp"
#include "system/io/process_runner.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Uploads with the `curl` program in four steps: the size of the remote temporary file
// (remote name + ".tmp") left by an earlier attempt, the upload into it (new, resumed from
// that size, skipped when complete, or restarted when the remote copy is larger), the size of
// the temporary file again, and the rename to the remote name. The account is the client's,
// from the ClientService.
//
// curl never retries by itself: a retry of a resumed upload would append from the same offset
// again. A remote size that differs from the local one after the upload sends the file once
// more from the start; a second mismatch fails the upload. Nothing is renamed into place unless
// the sizes agree.
//
// Credentials, paths and names reach curl single-quoted, so no character in them can run a
// command or change the command line; credentials or names holding a line break are refused
// because they would forge FTP commands.
//
// Threads: the loop's thread only, including the ClientService lookups. Completions are called
// from EventLoop::poll or at once from publish; destroying the publisher stops a running curl
// (SIGTERM, then SIGKILL after two seconds), waits for it and drops the pending completion.
class CurlFtpFilePublisher final : public FilePublisher {
public:
    enum class State { idle = 0, checking_size = 1, uploading = 2, renaming = 3, verifying = 4 };

    // `server` is the ftp_address setting: a host, optionally followed by a path. Error: the
    // process runner's.
    static Result<std::unique_ptr<CurlFtpFilePublisher>> create(
        std::shared_ptr<ClientService> clients, EventLoop& loop, std::shared_ptr<Logger> logger,
        std::string server);

    void publish(std::uint32_t client_id, const std::string& local_path,
                 const std::string& remote_name, Completion completion) override;
    bool is_busy() const override { return busy_; }

    const std::string& info_file_path() const { return info_path_; }

    CurlFtpFilePublisher(std::shared_ptr<ClientService> clients, ProcessRunner runner,
                         std::shared_ptr<Logger> logger, std::string server, std::string info_path);
    ~CurlFtpFilePublisher() override;

private:
    void check_remote_size();
    void verify_remote_size();
    void query_size();
    void upload(std::uint64_t remote_size);
    void rename();
    void run(const std::string& command);
    void on_exit(int exit_code);
    void finish(Status result);
    std::string remote_url(const std::string& name) const;

    std::shared_ptr<ClientService> clients_;
    ProcessRunner runner_;
    std::shared_ptr<Logger> logger_;
    std::string server_;
    std::string info_path_;

    State state_ = State::idle;
    bool busy_ = false;
    std::uint32_t client_id_ = 0;
    std::string local_path_;
    std::string remote_name_;
    std::string temporary_name_;
    std::string credentials_;
    Completion completion_;
    std::uint64_t local_size_ = 0;
    bool sent_again_ = false;
};

}  // namespace voxapp
