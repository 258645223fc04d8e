#include "server/tcp_remote_connection.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "core/console.hpp"
#include "system/logging/log_text.hpp"

namespace voxapp {
namespace {

using Clock = std::chrono::steady_clock;

// Tries of a send that keeps answering "try again": the first and this many more.
constexpr int kMaxSendRetries = 11;

}  // namespace

Result<std::unique_ptr<TcpRemoteConnection>> TcpRemoteConnection::create(
    std::string host, std::uint16_t port, std::uint16_t idle_timeout_seconds,
    const std::string& ca_path, Timing timing, ConsoleWriter console) {
    if (!console) {
        console = print_console_message;
    }
    Result<std::unique_ptr<TlsClientContext>> context =
        TlsClientContext::create(ca_path, std::move(console));
    if (!context) {
        return context.error();
    }
    return create(std::move(host), port, idle_timeout_seconds,
                  std::shared_ptr<const TlsClientContext>(std::move(*context)), timing);
}

Result<std::unique_ptr<TcpRemoteConnection>> TcpRemoteConnection::create(
    std::string host, std::uint16_t port, std::uint16_t idle_timeout_seconds,
    std::shared_ptr<const TlsClientContext> context, Timing timing) {
    const int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) {
        return Error::fixed("Failed to create the connection's wake descriptor", errno);
    }
    const int queued_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (queued_fd < 0) {
        const int error = errno;
        ::close(wake_fd);
        return Error::fixed("Failed to create the connection's wake descriptor", error);
    }
    return std::unique_ptr<TcpRemoteConnection>(
        new TcpRemoteConnection(std::move(host), port, idle_timeout_seconds, timing,
                                std::move(context), wake_fd, queued_fd));
}

TcpRemoteConnection::TcpRemoteConnection(std::string host, std::uint16_t port,
                                         std::uint16_t idle_timeout_seconds, Timing timing,
                                         std::shared_ptr<const TlsClientContext> context,
                                         int wake_fd, int queued_fd)
    : host_(std::move(host)),
      port_(port),
      idle_timeout_seconds_(idle_timeout_seconds),
      timing_(timing),
      context_(std::move(context)),
      wake_fd_(wake_fd),
      queued_fd_(queued_fd),
      parser_(*this),
      sink_(*this),
      framer_(sink_) {}

TcpRemoteConnection::~TcpRemoteConnection() {
    stop();
    socket_.reset();
    ::close(wake_fd_);
    ::close(queued_fd_);
}

void TcpRemoteConnection::set_logger(std::shared_ptr<Logger> logger) {
    logger_ = std::move(logger);
    parser_.set_logger(logger_.get());
    framer_.set_logger(logger_.get());
}

void TcpRemoteConnection::set_handler(RemoteLinkHandler* handler) {
    handler_ = handler;
    parser_.set_handler(handler);
}

void TcpRemoteConnection::start() {
    std::lock_guard lifecycle(lifecycle_mutex_);
    if (running_ || worker_.joinable()) {
        return;
    }
    std::uint64_t stale;
    while (::read(wake_fd_, &stale, sizeof stale) > 0) {
    }
    running_ = true;
    worker_ = std::thread([this] { run(); });
}

void TcpRemoteConnection::stop() {
    std::lock_guard lifecycle(lifecycle_mutex_);
    running_ = false;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
    if (worker_.joinable()) {
        worker_.join();
        worker_ = std::thread();
    }
}

bool TcpRemoteConnection::is_connected() const {
    std::lock_guard lock(io_mutex_);
    return socket_ != nullptr && socket_->is_open();
}

Result<std::size_t> TcpRemoteConnection::send_reply(std::uint16_t request_id, const char* data,
                                                    std::size_t length) {
    return framer_.send_reply(request_id, data, length);
}

Result<std::size_t> TcpRemoteConnection::send_binary_reply(std::uint16_t request_id,
                                                           std::uint32_t total_length,
                                                           const char* data, std::size_t length) {
    return framer_.send_binary_reply(request_id, total_length, data, length);
}

Result<std::size_t> TcpRemoteConnection::send_raw(const char* data, std::size_t length) {
    return framer_.send_raw(data, length);
}

Status TcpRemoteConnection::queue_reply(std::uint16_t request_id, std::string reply, bool binary) {
    return enqueue_reply(std::nullopt, request_id, std::move(reply), binary);
}

std::uint64_t TcpRemoteConnection::current_link() const {
    std::lock_guard lock(io_mutex_);
    return link_generation_;
}

Status TcpRemoteConnection::queue_reply_on(std::uint64_t link, std::uint16_t request_id,
                                           std::string reply, bool binary) {
    return enqueue_reply(link, request_id, std::move(reply), binary);
}

Status TcpRemoteConnection::enqueue_reply(std::optional<std::uint64_t> for_link,
                                          std::uint16_t request_id, std::string reply,
                                          bool binary) {
    std::uint64_t link;
    {
        std::lock_guard lock(io_mutex_);
        if (socket_ == nullptr || !socket_->is_open() ||
            (for_link && *for_link != link_generation_)) {
            return Error::from_errno(EOPNOTSUPP);
        }
        link = link_generation_;
    }
    {
        std::lock_guard lock(queue_mutex_);
        if (queued_.size() >= kMaxQueuedReplies || queued_bytes_ + reply.size() > kMaxQueuedBytes) {
            if (!std::exchange(refusing_, true)) {
                log(LogLevel::error,
                    "Reply queue of the connection is full; dropping replies until it drains");
            }
            return Error::from_errno(ENOBUFS);
        }
        refusing_ = false;
        queued_bytes_ += reply.size();
        queued_.push_back({request_id, std::move(reply), binary, link});
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(queued_fd_, &one, sizeof one);
    return {};
}

void TcpRemoteConnection::send_queued() {
    std::uint64_t count;
    while (::read(queued_fd_, &count, sizeof count) > 0) {
    }
    // One reply at a time leaves the queue, so that queue_reply never waits for a send.
    while (running_) {
        QueuedReply next;
        {
            std::lock_guard lock(queue_mutex_);
            if (queued_.empty()) {
                return;
            }
            next = std::move(queued_.front());
            queued_.pop_front();
            queued_bytes_ -= next.reply.size();
        }
        // link_generation_ changes only on this thread.
        if (next.link != link_generation_) {
            continue;
        }
        const std::string& reply = next.reply;
        if (next.binary) {
            (void)framer_.send_binary_reply(next.request_id,
                                            static_cast<std::uint32_t>(reply.size()), reply.data(),
                                            reply.size());
        } else {
            (void)framer_.send_reply(next.request_id, reply.data(), reply.size());
        }
    }
}

void TcpRemoteConnection::drop_queued() {
    std::lock_guard lock(queue_mutex_);
    queued_.clear();
    queued_bytes_ = 0;
}

bool TcpRemoteConnection::begin_send() {
    std::lock_guard lock(io_mutex_);
    send_generation_ = link_generation_;
    return socket_ != nullptr && socket_->is_open();
}

Result<std::size_t> TcpRemoteConnection::send_bytes(const char* data, std::size_t length) {
    std::size_t sent = 0;
    int retries = 0;
    int last_errno = EOPNOTSUPP;
    while (sent < length) {
        int written;
        {
            std::lock_guard lock(io_mutex_);
            if (socket_ == nullptr || !socket_->is_open() || link_generation_ != send_generation_) {
                return Error::from_errno(EOPNOTSUPP);
            }
            written = socket_->write(data + sent, length - sent);
            if (written <= 0) {
                last_errno = socket_->last_write_errno();
            }
        }
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            if (sent == length) {
                break;
            }
        } else if (written == TlsSocket::kTryAgain && retries < kMaxSendRetries) {
            ++retries;
            log(LogLevel::info, "EAGAIN while trying to send data... retrying...");
        } else {
            return give_up_send(last_errno);
        }
        if (!pause(timing_.send_retry_pause)) {
            return give_up_send(last_errno);
        }
    }
    return length;
}

Error TcpRemoteConnection::give_up_send(int error) {
    // The frame is cut short and the TLS layer may still hold part of a record that it insists
    // on finishing: every later write would fail on a link that looks up, and the server would
    // read a header without its body. Only a new link starts clean.
    std::lock_guard lock(io_mutex_);
    if (socket_ != nullptr && socket_->is_open() && link_generation_ == send_generation_) {
        log(LogLevel::error, "Send gave up inside a frame - closing the link");
        socket_->close();
    }
    return Error::from_errno(error);
}

void TcpRemoteConnection::run() {
    Clock::time_point last_receipt = Clock::now();
    if (handler_ != nullptr) {
        handler_->on_started(*this);
    }
    std::string buffer;
    while (running_) {
        bool connected;
        {
            std::lock_guard lock(io_mutex_);
            connected = socket_ != nullptr && socket_->is_open();
            if (!connected) {
                // A link closed by a sender is released here, where nobody waits on it.
                socket_.reset();
            }
        }
        if (!connected) {
            // Replies for the link that went cannot go out on the next one, and the rest of a
            // payload cut off with it never comes: its device is given back at once, not when
            // (if ever) the server can be reached again.
            drop_queued();
            abandon_binary_transfer();
            std::unique_ptr<TlsSocket> socket =
                TlsSocket::connect(*context_, host_, port_, logger_.get(), timing_, wake_fd_);
            if (socket == nullptr) {
                note_error("Could not connect to " + host_ + ":" + std::to_string(port_));
                pause(timing_.reconnect_pause);
                continue;
            }
            {
                std::lock_guard lock(io_mutex_);
                socket_ = std::move(socket);
                ++link_generation_;
            }
            {
                std::lock_guard lock(status_mutex_);
                connected_since_ = system_now();
            }
            buffer.clear();
            last_receipt = Clock::now();
        }
        serve(buffer, last_receipt);
    }
    {
        std::lock_guard lock(io_mutex_);
        socket_.reset();
    }
    drop_queued();
    abandon_binary_transfer();
    log(LogLevel::debug, "Done TcpRemoteConnection run...");
}

void TcpRemoteConnection::abandon_binary_transfer() {
    // The rest of a payload cut off with its link never comes; a new link starts with frames.
    if (parser_.abandon_binary()) {
        log(LogLevel::error, "Binary transfer abandoned: the link closed before its end");
        if (handler_ != nullptr) {
            handler_->on_binary_abandoned(*this);
        }
    }
}

void TcpRemoteConnection::serve(std::string& buffer, Clock::time_point& last_receipt) {
    std::size_t available = 0;
    std::size_t received = 0;
    {
        std::lock_guard lock(io_mutex_);
        if (socket_->check_alive()) {
            available = socket_->bytes_available();
            if (available > 0) {
                last_receipt = Clock::now();
                received = socket_->read(buffer, available);
            }
        }
    }
    if (received > 0) {
        log(LogLevel::data, "Received ", received, " bytes");
        if (parser_.parse(buffer) == FrameParser::Outcome::reset_link) {
            // The stream cannot be framed any more; the next link starts with frames.
            std::lock_guard lock(io_mutex_);
            socket_->close();
            return;
        }
    }
    if (available == 0 && idle_timeout_seconds_ != 0 &&
        timing_.whole_seconds(last_receipt, Clock::now()) > idle_timeout_seconds_) {
        std::lock_guard lock(io_mutex_);
        if (socket_->is_open()) {
            log(LogLevel::error,
                "No data received for a while - closing suspected stable connection!");
            socket_->close();
        }
    }

    send_queued();

    // Instead of sleeping for the whole pause, wait for the next bytes, a queued reply or stop.
    // A link that is closed, or whose TLS layer cannot take more bytes, is not watched: it
    // would wake the wait at once, every time; it is looked at again after the idle wait.
    int wait_fd = -1;
    {
        std::lock_guard lock(io_mutex_);
        if (socket_->is_open() && !socket_->stalled()) {
            wait_fd = socket_->fd();
        }
    }
    std::chrono::nanoseconds bound = timing_.busy_wait;
    if (available == 0 && wait_fd < 0) {
        bound = timing_.idle_wait;
    } else if (available == 0) {
        // A watched link wakes the wait itself when bytes, the peer's close or an error come;
        // only the idle timeout needs the clock.
        bound = std::chrono::nanoseconds::max();
        if (idle_timeout_seconds_ != 0) {
            const auto due = timing_.after_whole_seconds(last_receipt, idle_timeout_seconds_);
            bound =
                std::max(std::chrono::nanoseconds::zero(),
                         std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now()));
        }
    }
    wait_for_descriptor(wait_fd, POLLIN, wake_fd_, bound, queued_fd_);
}

// False when stop cut the pause short.
bool TcpRemoteConnection::pause(std::chrono::nanoseconds duration) const {
    return wait_for_descriptor(-1, 0, wake_fd_, duration) != WaitOutcome::stopped;
}

template <typename... Parts>
void TcpRemoteConnection::log(LogLevel level, const Parts&... parts) const {
    if (logger_ == nullptr && level != LogLevel::error) {
        return;
    }
    std::string line;
    append_log_parts(line, parts...);
    if (level == LogLevel::error) {
        note_error(line);
    }
    if (logger_ == nullptr) {
        return;
    }
    switch (level) {
        case LogLevel::debug:
            logger_->debug(line);
            break;
        case LogLevel::info:
            logger_->info(line);
            break;
        case LogLevel::error:
            logger_->error(line);
            break;
        case LogLevel::data:
            logger_->data(line);
            break;
        default:
            logger_->log(line, level);
            break;
    }
}

std::optional<LinkStatus> TcpRemoteConnection::link_status() const {
    LinkStatus status;
    status.connected = is_connected();
    {
        std::lock_guard lock(queue_mutex_);
        status.replies_queued = queued_.size();
    }
    std::lock_guard lock(status_mutex_);
    status.connected_since = status.connected ? connected_since_ : 0;
    status.last_error = last_error_;
    return status;
}

void TcpRemoteConnection::note_error(std::string text) const {
    std::lock_guard lock(status_mutex_);
    last_error_ = std::move(text);
}

}  // namespace voxapp
