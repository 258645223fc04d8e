#include "recordings/curl_ftp_file_publisher.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "core/directories.hpp"
#include "core/file_text.hpp"
#include "core/single_quoted.hpp"
#include "core/system_paths.hpp"
#include "recordings/content_length.hpp"

namespace voxapp {

namespace {

constexpr const char* kTag = "[CurlFtpFilePublisher] ";
// A server that takes the connection and then falls silent would otherwise hold the one upload
// slot for good: give up when nothing moves for a minute, and retry later like any failure.
constexpr const char* kStallLimits = " --connect-timeout 30 --speed-limit 1 --speed-time 60";

bool has_line_break(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// curl's header output of a size query: a few lines.
std::string read_whole(const std::string& path) {
    return read_file_text(path, 64 * 1024).value_or("");
}

}  // namespace

Result<std::unique_ptr<CurlFtpFilePublisher>> CurlFtpFilePublisher::create(
    std::shared_ptr<ClientService> clients, EventLoop& loop, std::shared_ptr<Logger> logger,
    std::string server) {
    auto runner = ProcessRunner::create(loop);
    if (!runner) {
        return runner.error();
    }
    static std::atomic<unsigned> instances{0};
    std::string info_path = system_path("/tmp/ftp_info_") + std::to_string(instances++);
    return std::make_unique<CurlFtpFilePublisher>(std::move(clients), std::move(*runner),
                                                  std::move(logger), std::move(server),
                                                  std::move(info_path));
}

CurlFtpFilePublisher::CurlFtpFilePublisher(std::shared_ptr<ClientService> clients,
                                           ProcessRunner runner, std::shared_ptr<Logger> logger,
                                           std::string server, std::string info_path)
    : clients_(std::move(clients)),
      runner_(std::move(runner)),
      logger_(std::move(logger)),
      server_(std::move(server)),
      info_path_(std::move(info_path)) {}

CurlFtpFilePublisher::~CurlFtpFilePublisher() {
    runner_.stop_children(std::chrono::seconds(2));
}

std::string CurlFtpFilePublisher::remote_url(const std::string& name) const {
    return single_quoted("ftp://" + server_ + "/" + name);
}

void CurlFtpFilePublisher::publish(std::uint32_t client_id, const std::string& local_path,
                                   const std::string& remote_name, Completion completion) {
    if (busy_) {
        completion(Error::fixed("Uploader is busy"));
        return;
    }
    struct stat info {};
    if (::stat(local_path.c_str(), &info) != 0) {
        completion(Error::owned("Could not get file size for " + local_path, errno));
        return;
    }
    client_id_ = client_id;
    local_path_ = local_path;
    remote_name_ = remote_name;
    temporary_name_ = remote_name + ".tmp";
    completion_ = std::move(completion);
    local_size_ = static_cast<std::uint64_t>(info.st_size);
    sent_again_ = false;
    busy_ = true;

    auto account = clients_ ? clients_->credentials(client_id)
                            : Result<ClientCredentials>(Error::fixed("No clients"));
    credentials_ = account ? account->user_name + ":" + account->password : std::string();
    if (credentials_.empty()) {
        finish(Error::fixed(kNoClientCredentials));
        return;
    }
    if (has_line_break(credentials_)) {
        finish(Error::fixed("Client credentials hold a line break"));
        return;
    }
    if (has_line_break(remote_name_) || has_line_break(server_)) {
        finish(Error::fixed("Remote name holds a line break"));
        return;
    }
    check_remote_size();
}

void CurlFtpFilePublisher::check_remote_size() {
    state_ = State::checking_size;
    if (logger_) {
        logger_->debug(std::string(kTag) + "Step 1: Checking remote size of " + temporary_name_);
    }
    query_size();
}

void CurlFtpFilePublisher::verify_remote_size() {
    state_ = State::verifying;
    if (logger_) {
        logger_->debug(std::string(kTag) + "Checking uploaded size of " + temporary_name_);
    }
    query_size();
}

void CurlFtpFilePublisher::query_size() {
    // Without its directory the size answer would be lost and every resume become a restart.
    const std::size_t slash = info_path_.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        (void)create_directories(info_path_.substr(0, slash));
    }
    run("curl -s -f" + std::string(kStallLimits) + " -I -u " + single_quoted(credentials_) + " " + remote_url(temporary_name_) +
        " > " + single_quoted(info_path_) + " 2>/dev/null");
}

void CurlFtpFilePublisher::upload(std::uint64_t remote_size) {
    state_ = State::uploading;
    const std::string local = std::to_string(local_size_);
    const std::string remote = std::to_string(remote_size);
    std::string resume;
    if (remote_size == 0) {
        if (logger_) {
            logger_->debug(std::string(kTag) + "Starting new upload (" + local + " bytes)");
        }
    } else if (remote_size == local_size_) {
        if (logger_) {
            logger_->info(std::string(kTag) + "Remote file already complete (" + remote +
                          " bytes). Skipping upload.");
        }
        rename();
        return;
    } else if (remote_size < local_size_) {
        if (logger_) {
            logger_->info(std::string(kTag) + "Resuming upload from " + remote + " to " + local);
        }
        resume = "-C " + remote;
    } else if (logger_) {
        logger_->warning(std::string(kTag) + "Remote file larger than local (" + remote + " > " +
                         local + "). Restarting upload.");
    }
    run("curl -s -f" + std::string(kStallLimits) + " " + resume + " -T " +
        single_quoted(local_path_) + " -u " + single_quoted(credentials_) + " " +
        remote_url(temporary_name_));
}

void CurlFtpFilePublisher::rename() {
    state_ = State::renaming;
    if (logger_) {
        logger_->debug(std::string(kTag) + "Step 3: Renaming " + temporary_name_ + " to " +
                       remote_name_);
    }
    run("curl -s -f" + std::string(kStallLimits) + " -u " + single_quoted(credentials_) + " " +
        remote_url("") + " -Q " +
        single_quoted("RNFR " + temporary_name_) + " -Q " + single_quoted("RNTO " + remote_name_) +
        " --head > /dev/null 2>&1");
}

void CurlFtpFilePublisher::run(const std::string& command) {
    const Status started = runner_.run(command, [this](int exit_code) { on_exit(exit_code); });
    if (!started) {
        finish(started.error());
    }
}

void CurlFtpFilePublisher::on_exit(int exit_code) {
    if (!busy_) {
        state_ = State::idle;
        return;
    }
    switch (state_) {
        case State::checking_size: {
            // A failed size query means there is no remote temporary file: start from 0.
            const std::uint64_t remote_size = parse_content_length(read_whole(info_path_));
            ::unlink(info_path_.c_str());
            upload(remote_size);
            return;
        }
        case State::uploading:
            if (exit_code == 0) {
                verify_remote_size();
            } else {
                finish(
                    Error::owned("Curl upload failed with exit code " + std::to_string(exit_code)));
            }
            return;
        case State::verifying: {
            const std::uint64_t remote_size = parse_content_length(read_whole(info_path_));
            ::unlink(info_path_.c_str());
            if (remote_size == local_size_) {
                rename();
            } else if (!sent_again_) {
                sent_again_ = true;
                if (logger_) {
                    logger_->warning(std::string(kTag) + "Uploaded size " +
                                     std::to_string(remote_size) + " differs from local " +
                                     std::to_string(local_size_) + ". Restarting upload.");
                }
                upload(0);
            } else {
                finish(Error::owned("Uploaded size " + std::to_string(remote_size) +
                                    " differs from local size " + std::to_string(local_size_)));
            }
            return;
        }
        case State::renaming:
            if (exit_code == 0) {
                finish(Status());
            } else {
                finish(
                    Error::owned("Curl rename failed with exit code " + std::to_string(exit_code)));
            }
            return;
        case State::idle:
            break;
    }
    finish(Error::fixed("Invalid uploader state"));
}

void CurlFtpFilePublisher::finish(Status result) {
    // The info file goes first: the completion may start the next upload at once.
    if (::unlink(info_path_.c_str()) != 0 && errno != ENOENT && logger_) {
        logger_->debug(std::string(kTag) + "Could not remove file " + info_path_);
    }
    if (!busy_) {
        return;
    }
    busy_ = false;
    state_ = State::idle;
    credentials_.clear();
    Completion done = std::move(completion_);
    completion_ = nullptr;
    if (done) {
        done(std::move(result));
    }
}

}  // namespace voxapp
