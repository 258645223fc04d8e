#include "instruments/instrument_proxy.hpp"

#include <cerrno>
#include <thread>

#include "instruments/instrument_models.hpp"
#include "system/logging/log_text.hpp"

namespace voxapp {

namespace {

constexpr std::size_t kReadCapacity = 4096;
// Reads of a line whose bytes are dropped between resets, per pass.
constexpr int kDropReads = 16;
// The binary transfer's wait for a stopped line, in slices.
constexpr int kWritableSliceMs = 100;
constexpr std::chrono::milliseconds kLockPoll{10};
// A command of a few dozen bytes leaves a 115200-baud line in a few milliseconds.
constexpr int kDrainLimitMs = 5;

// After one optional leading ';'.
bool command_starts_with(const std::string& text, std::string_view prefix) {
    const std::string_view body =
        text.starts_with(';') ? std::string_view(text).substr(1) : std::string_view(text);
    return body.starts_with(prefix);
}

std::string numbered(const char* text, int code) {
    std::string line = text;
    append_log_parts(line, code);
    return line;
}

std::int64_t nanoseconds(std::chrono::milliseconds duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

}  // namespace

InstrumentProxy::InstrumentProxy(SerialDevice port, std::uint32_t serial_number,
                                 std::uint8_t device_class, std::shared_ptr<Logger> logger,
                                 Services services, InstrumentTiming timing, Clocks clocks)
    : serial_number_(serial_number),
      device_class_(device_class),
      logger_(std::move(logger)),
      services_(std::move(services)),
      timing_(timing),
      clocks_(std::move(clocks)),
      port_(std::move(port)),
      last_send_(clocks_.monotonic()),
      assembler_(device_class) {}

InstrumentProxy::~InstrumentProxy() {
    if (holding_lock_) {
        device_mutex_.unlock();
    }
}

void InstrumentProxy::enqueue_command(std::string text, ReplyCallback reply, CommandExpiry expiry) {
    logger_->data_full("Recieved command: " + text);
    std::lock_guard lock(queue_mutex_);
    if (queue_.size() >= kMaxQueuedCommands) {
        if (!refusing_) {
            refusing_ = true;
            logger_->error("Command queue of the device is full; refusing commands until it drains");
        }
        return;
    }
    refusing_ = false;
    queue_.push_back({std::move(text), std::move(reply), expiry});
}

std::size_t InstrumentProxy::queued() const {
    std::lock_guard lock(queue_mutex_);
    return queue_.size();
}

bool InstrumentProxy::try_lock_for(std::chrono::milliseconds wait) {
    // Polled on the steady clock: a timed lock waits on the wall clock, which a step of the
    // system time would stretch. The wait is rare (a transfer meeting an exchange) and short.
    const auto end = std::chrono::steady_clock::now() + wait;
    while (!device_mutex_.try_lock()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(kLockPoll);
    }
    transferring_ = true;
    return true;
}

Status InstrumentProxy::write_data(const char* data, std::size_t length) {
    std::size_t done = 0;
    auto progressed = std::chrono::steady_clock::now();
    while (done < length) {
        if (gone_) {
            return Error::from_errno(ENODEV);
        }
        auto written = port_.write_some(data + done, length - done);
        if (written) {
            done += *written;
            progressed = std::chrono::steady_clock::now();
            continue;
        }
        const int code = written.error().code();
        if (code != EAGAIN) {
            logger_->debug(numbered("Write error number: ", code));
            return written.error();
        }
        // A line that stops taking bytes (a hung instrument holding flow control) fails the
        // transfer rather than keeping the connection's thread.
        if (std::chrono::steady_clock::now() - progressed >= kTransferStall) {
            logger_->debug(numbered("Write error number: ", ETIMEDOUT));
            return Error::from_errno(ETIMEDOUT);
        }
        (void)port_.wait_writable(kWritableSliceMs);
    }
    return {};
}

Result<std::size_t> InstrumentProxy::read_data(char* buffer, std::size_t capacity) {
    return port_.read_some(buffer, capacity);
}

int InstrumentProxy::subscribe_messages(MessageCallback callback) {
    std::lock_guard lock(subscribers_mutex_);
    const int id = next_subscriber_++;
    subscribers_.emplace(id, std::move(callback));
    return id;
}

void InstrumentProxy::unsubscribe_messages(int id) {
    std::lock_guard lock(subscribers_mutex_);
    subscribers_.erase(id);
}

void InstrumentProxy::deliver(const std::string& message) {
    std::lock_guard lock(subscribers_mutex_);
    for (const auto& [id, callback] : subscribers_) {
        if (callback) {
            callback(std::string(message));
        }
    }
}

bool InstrumentProxy::note_port_error(int code) {
    // EIO and ENODEV come from a tty whose USB device went away; end of file (-1) from a hung-up
    // line; EBADF from a port already closed. None of them recovers: stop touching the line so
    // that the main loop never spins on it, and let the owner remove the instrument.
    if (code != EIO && code != ENODEV && code != ENXIO && code != -1 && code != EBADF) {
        return false;
    }
    if (!gone_) {
        gone_ = true;
        logger_->error(numbered(("The device " + port_.tty_path() + " is gone, error ").c_str(),
                                code));
    }
    return true;
}

void InstrumentProxy::spontaneous_read() {
    char buffer[kReadCapacity];
    auto read = port_.read_some(buffer, sizeof buffer);
    if (!read) {
        if (read.error().code() != EAGAIN && !note_port_error(read.error().code())) {
            logger_->debug(numbered("Read error number: ", read.error().code()));
        }
        return;
    }
    const std::string message(buffer, *read);
    logger_->debug("Spontaneous message: " + message);
    deliver(message);
}

void InstrumentProxy::deliver_leftovers() {
    if (assembler_.leftover().empty()) {
        return;
    }
    const std::string leftover = assembler_.take_leftover();
    logger_->debug("Processing leftover message: " + leftover);
    std::size_t start = 0;
    while (start < leftover.size()) {
        std::size_t end = leftover.find(';', start);
        end = end == std::string::npos ? leftover.size() : end + 1;
        const std::string piece = leftover.substr(start, end - start);
        start = end;
        if (auto parsed = parse_command(piece); !parsed) {
            logger_->error("Error while parsing leftover device command: " + piece);
            logger_->error(parsed.error().message());
            continue;
        }
        deliver(piece);
    }
}

void InstrumentProxy::expire_commands() {
    // A command that went out in part is finished, never dropped: the instrument would take
    // the next command's bytes as the rest of it.
    if (sent_ > 0) {
        return;
    }
    const TimePoint now = clocks_.monotonic();
    std::lock_guard lock(queue_mutex_);
    while (!queue_.empty() && queue_.front().expiry && *queue_.front().expiry < now) {
        logger_->debug("Removing expired command: " + queue_.front().text);
        queue_.pop_front();
    }
}

DeviceActivity InstrumentProxy::activity() const {
    if (gone_) {
        return DeviceActivity::idle;
    }
    if (in_flight_ || transferring_) {
        return DeviceActivity::waiting;
    }
    if (!assembler_.leftover().empty()) {
        return DeviceActivity::ready;
    }
    if (queued() == 0 || failures_ >= kFailuresBeforeReset) {
        return DeviceActivity::idle;
    }
    // Without an ended exchange the front command met a failure that another try at once would
    // meet again; the cadence paces the tries.
    return exchange_ended_ ? DeviceActivity::ready : DeviceActivity::waiting;
}

Status InstrumentProxy::process() {
    exchange_ended_ = false;
    if (gone_) {
        return Error::from_errno(EAGAIN);
    }
    if (!in_flight_) {
        deliver_leftovers();
        expire_commands();
    }
    bool empty;
    {
        std::lock_guard lock(queue_mutex_);
        empty = queue_.empty();
    }
    if (empty) {
        if (device_mutex_.try_lock()) {
            spontaneous_read();
            device_mutex_.unlock();
        }
        return {};
    }
    if (failures_ >= kFailuresBeforeReset) {
        return reset_step();
    }
    return in_flight_ ? continue_exchange() : start_exchange();
}

Status InstrumentProxy::reset_step() {
    // A binary transfer owns the line (and reads its answer): the resets wait for its end.
    if (!device_mutex_.try_lock()) {
        return Error::from_errno(EAGAIN);
    }
    std::lock_guard line(device_mutex_, std::adopt_lock);
    // The instrument may keep talking: what it says is dropped, so that its line's watch never
    // wakes the loop for bytes nobody reads.
    drop_input();
    const TimePoint now = clocks_.monotonic();
    if (!resetting_) {
        resetting_ = true;
        reset_pause_ = timing_.first_reset_pause;
        logger_->error(
            "Failed to communicate with the device 5 times in a row. Hard resetting the device.");
    } else if (now < next_reset_) {
        return Error::from_errno(EAGAIN);
    } else {
        reset_pause_ = std::min(reset_pause_ * 2, timing_.longest_reset_pause);
    }
    // A reset that fails, or a tty that survives it, is tried again later, not on every pass.
    next_reset_ = now + nanoseconds(reset_pause_);
    last_reset_ = clocks_.wall();
    return port_.hard_reset();
}

std::optional<std::chrono::milliseconds> InstrumentProxy::reset_due_in() const {
    if (!resetting_ || gone_ || failures_ < kFailuresBeforeReset) {
        return std::nullopt;
    }
    const std::int64_t left = std::max<std::int64_t>(0, next_reset_ - clocks_.monotonic());
    return std::chrono::milliseconds(left / 1'000'000 + 1);
}

void InstrumentProxy::drop_input() {
    char buffer[kReadCapacity];
    for (int reads = 0; reads < kDropReads; ++reads) {
        auto read = port_.read_some(buffer, sizeof buffer);
        if (!read) {
            if (read.error().code() != EAGAIN) {
                note_port_error(read.error().code());
            }
            return;
        }
    }
}

Status InstrumentProxy::start_exchange() {
    // A long binary transfer owns the line: wait for it without holding up the main loop.
    if (!device_mutex_.try_lock()) {
        return Error::from_errno(EAGAIN);
    }
    holding_lock_ = true;
    spontaneous_read();
    if (gone_) {
        end_exchange();
        return Error::from_errno(EAGAIN);
    }
    std::string text;
    {
        std::lock_guard lock(queue_mutex_);
        text = queue_.front().text;
    }
    in_flight_ = true;
    auto command = parse_command(text);
    if (!command) {
        logger_->error("Error while parsing device command: " + command.error().message_text());
        end_exchange();
        return Error::from_errno(EPROTO);
    }
    if (is_unsupported(*command)) {
        logger_->debug("Handling unsupported device command: " + text);
        auto reply = handle_unsupported(*command);
        if (!reply) {
            logger_->error("Error while handling unsupported device command: " +
                           reply.error().message_text());
            end_exchange();
            return Error::from_errno(EPROTO);
        }
        logger_->debug("Response for unsupported device command: " + *reply);
        reply_to_front(*reply);
        end_exchange();
        return {};
    }
    if (sent_ == 0 && !write_blocked_) {
        logger_->debug("Sending command (" + std::to_string(text.size()) + " bytes): " + text);
    }
    last_send_ = clocks_.monotonic();
    return write_command(text);
}

Status InstrumentProxy::write_command(const std::string& text) {
    auto written = port_.write_some(text.data() + sent_, text.size() - sent_);
    if (!written) {
        const int code = written.error().code();
        if (code == EAGAIN && sent_ > 0) {
            // The rest waits for the line on the next passes; the exchange keeps the lock so
            // that no binary transfer cuts into the command.
            return {};
        }
        // Nothing of the command went out now: it stays at the queue's front for the next pass.
        in_flight_ = false;
        release_lock();
        if (code == EAGAIN) {
            note_blocked_write(text);
            return written.error();
        }
        note_port_error(code);
        logger_->debug(numbered("Write error number: ", code));
        return written.error();
    }
    write_blocked_ = false;
    sent_ += *written;
    if (sent_ < text.size()) {
        return {};
    }
    sent_ = 0;
    command_written(text);
    return {};
}

void InstrumentProxy::command_written(const std::string& text) {
    // Flushing the output queue here could discard the command itself while the driver still
    // holds it (seen on busy systems). A short wait lets it leave; a line that takes longer
    // (a hung instrument) is not waited for, so that it never holds up the other devices.
    (void)port_.drain_output(kDrainLimitMs);
    last_send_ = clocks_.monotonic();
    auto command = parse_command(text);
    if (!command) {
        end_exchange();
        return;
    }
    const bool asks = text.find('?') != std::string::npos;
    if (command->code == '1' && !asks) {
        reply_to_front("");
        end_exchange();
        return;
    }
    assembler_.begin(command->code, command->code == '7' && !command->parameters.empty()
                                        ? command->parameters.front()
                                        : std::string());
}

void InstrumentProxy::note_blocked_write(const std::string& text) {
    const TimePoint now = clocks_.monotonic();
    if (!write_blocked_) {
        write_blocked_ = true;
        blocked_since_ = now;
        logger_->debug(numbered("Write error number: ", EAGAIN));
        return;
    }
    // A line that takes nothing for the whole time limit is an instrument that does not answer.
    if (now - blocked_since_ > nanoseconds(time_limit(text))) {
        logger_->debug("Timeout has passed.");
        blocked_since_ = now;
        ++failures_;
    }
}

Status InstrumentProxy::continue_exchange() {
    std::string text;
    {
        std::lock_guard lock(queue_mutex_);
        text = queue_.front().text;
    }
    if (sent_ > 0) {
        Status status = write_command(text);
        if (!in_flight_ || sent_ == 0) {
            return status;
        }
        (void)timed_out(text);
        return status;
    }
    char buffer[kReadCapacity];
    auto read = port_.read_some(buffer, sizeof buffer);
    if (read) {
        logger_->debug("Read " + std::to_string(*read) + " bytes from device.");
        logger_->data_full(std::string_view(buffer, *read));
        if (auto reply = assembler_.feed(std::string_view(buffer, *read), *logger_)) {
            reply_to_front(*reply);
            end_exchange();
            return {};
        }
    } else if (read.error().code() != EAGAIN) {
        if (note_port_error(read.error().code())) {
            end_exchange();
            return Error::from_errno(EAGAIN);
        }
        logger_->debug(numbered("Read error number: ", read.error().code()));
        return read.error();
    }
    (void)timed_out(text);
    return {};
}

bool InstrumentProxy::timed_out(const std::string& text) {
    if (clocks_.monotonic() - last_send_ <= nanoseconds(time_limit(text))) {
        return false;
    }
    logger_->debug("Timeout has passed.");
    if (command_starts_with(text, "#9,4")) {
        logger_->debug("Detected #9,4 skipping retry.");
        end_exchange();
        return true;
    }
    retry_later();
    return true;
}

std::chrono::milliseconds InstrumentProxy::time_limit(const std::string& text) const {
    if (command_starts_with(text, "#9,")) {
        return timing_.long_command;
    }
    return has_gps_tracker() ? timing_.basic : timing_.model;
}

void InstrumentProxy::reply_to_front(const std::string& reply) {
    ReplyCallback callback;
    {
        std::lock_guard lock(queue_mutex_);
        callback = queue_.front().reply;
    }
    if (callback) {
        callback(reply);
    }
}

void InstrumentProxy::release_lock() {
    if (holding_lock_) {
        holding_lock_ = false;
        device_mutex_.unlock();
    }
}

void InstrumentProxy::end_exchange() {
    exchange_ended_ = true;
    assembler_.reset();
    in_flight_ = false;
    failures_ = 0;
    sent_ = 0;
    write_blocked_ = false;
    resetting_ = false;
    release_lock();
    std::lock_guard lock(queue_mutex_);
    if (!queue_.empty()) {
        queue_.pop_front();
    }
}

void InstrumentProxy::retry_later() {
    // A command that went out in part is taken up where it stopped (sent_ stays), so the
    // instrument never sees a fragment followed by the whole command.
    assembler_.reset();
    in_flight_ = false;
    ++failures_;
    release_lock();
}

std::shared_ptr<InstrumentProxy> make_instrument_proxy(SerialDevice port, std::uint32_t unit_type,
                                                       std::uint32_t serial_number,
                                                       std::shared_ptr<Logger> logger,
                                                       InstrumentProxy::Services services,
                                                       InstrumentTiming timing) {
    const std::uint8_t device_class = instrument_device_class(unit_type);
    if (device_class == 0) {
        return std::make_shared<BasicInstrumentProxy>(std::move(port), serial_number,
                                                      std::move(logger), std::move(services),
                                                      timing);
    }
    return std::make_shared<ModelInstrumentProxy>(std::move(port), serial_number, device_class,
                                                  std::move(logger), std::move(services), timing);
}

}  // namespace voxapp
