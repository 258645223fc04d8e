#include "instruments/instrument_greeting.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "core/system_paths.hpp"

namespace voxapp {

namespace {

constexpr std::string_view kHello = ";#1,U?,N?;";

std::int64_t nanoseconds(std::chrono::milliseconds duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

bool read_number(std::string_view& text, std::uint32_t& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin == end || *begin < '0' || *begin > '9') {
        return false;
    }
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc()) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(ptr - begin));
    return true;
}

bool consume(std::string_view& text, std::string_view prefix) {
    if (!text.starts_with(prefix)) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

}  // namespace

std::optional<std::string> HelloReplyCollector::append(std::string_view bytes) {
    const std::size_t room = kMaxBytes > buffer_.size() ? kMaxBytes - buffer_.size() : 0;
    buffer_.append(bytes.substr(0, room));
    const std::size_t start = buffer_.find("#1");
    if (start == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t end = buffer_.find(';', start);
    if (end != std::string::npos) {
        return buffer_.substr(start, end - start + 1);
    }
    const std::size_t first = buffer_.find(';');
    if (first != std::string::npos && first < start) {
        return buffer_.substr(0, first + 1);
    }
    return std::nullopt;
}

std::optional<InstrumentIdentity> parse_hello_reply(std::string_view text) {
    InstrumentIdentity identity;
    if (!consume(text, "#1,U") || !read_number(text, identity.unit_type) ||
        !consume(text, ",N") || !read_number(text, identity.serial_number)) {
        return std::nullopt;
    }
    return identity;
}

InstrumentGreeting::InstrumentGreeting(DevicePaths paths, std::shared_ptr<Logger> logger,
                                       GreetingTiming timing, UsbResetFunction reset,
                                       TimePoint now)
    : paths_(std::move(paths)),
      logger_(std::move(logger)),
      timing_(timing),
      reset_(std::move(reset)),
      due_(now) {}

bool InstrumentGreeting::step(TimePoint now) {
    if (outcome_) {
        return true;
    }
    if (stage_ == Stage::node) {
        if (now < due_) {
            return false;
        }
        // A node that is still missing after the last check fails in the open below.
        if (access(system_path(paths_.tty_path).c_str(), F_OK) != 0 &&
            node_checks_ < timing_.node_checks) {
            ++node_checks_;
            due_ = now + nanoseconds(timing_.node_wait);
            return false;
        }
        open_and_send(now);
    }
    if (!outcome_) {
        collect(now);
    }
    return outcome_.has_value();
}

void InstrumentGreeting::open_and_send(TimePoint now) {
    const std::string& tty = paths_.tty_path;
    auto port = SerialDevice::open_port(tty, paths_.usb_node, logger_, reset_);
    if (!port) {
        logger_->error("[DeviceManager] Failed to open the device: " + tty);
        finish(port.error());
        return;
    }
    port_ = std::move(*port);
    port_.drain_input();
    logger_->info("[DeviceManager] Sending hello to the device: " + tty);
    if (auto written = port_.write_all(kHello.data(), kHello.size()); !written) {
        logger_->error("[DeviceManager] Failed to write to the device: " + tty);
        finish(written.error());
        return;
    }
    stage_ = Stage::reply;
    deadline_ = now + nanoseconds(timing_.limit);
    due_ = now;
}

void InstrumentGreeting::collect(TimePoint now) {
    char chunk[256];
    for (;;) {
        auto read = port_.read_some(chunk, sizeof chunk);
        if (!read) {
            if (read.error().code() != EAGAIN) {
                logger_->error("[DeviceManager] Failed to read from the device: " +
                               paths_.tty_path);
                finish(read.error());
                return;
            }
            // Only the polls of the empty-poll cadence count, not the readiness wake-ups
            // between them.
            if (now < due_) {
                return;
            }
            if (empty_polls_ >= timing_.empty_polls) {
                finish_with_reply(std::nullopt);
                return;
            }
            ++empty_polls_;
            due_ = now + nanoseconds(timing_.empty_poll);
            return;
        }
        auto reply = collector_.append(std::string_view(chunk, *read));
        // An instrument that keeps talking without ever answering must not keep the greeting.
        if (reply || collector_.full() || now >= deadline_) {
            finish_with_reply(reply);
            return;
        }
    }
}

void InstrumentGreeting::finish_with_reply(const std::optional<std::string>& reply) {
    const std::string& tty = paths_.tty_path;
    if (collector_.buffer().empty()) {
        logger_->error("[DeviceManager] Failed to read the response for hello from " + tty);
        finish(Error::from_errno(ENODATA));
        return;
    }
    if (auto identity = parse_hello_reply(reply ? *reply : collector_.buffer())) {
        finish(*identity);
        return;
    }
    logger_->error(
        "[DeviceManager] Failed to parse the response we're looking for in the device: " + tty);
    logger_->debug("[DeviceManager] Response: " + collector_.buffer());
    finish(Error::from_errno(EPROTO));
}

void InstrumentGreeting::finish(Result<InstrumentIdentity> outcome) {
    outcome_.emplace(std::move(outcome));
}

}  // namespace voxapp
