#include "instruments/instrument_greeting.hpp"

#include <cerrno>
#include <charconv>
#include <thread>

namespace voxapp {

namespace {

constexpr std::string_view kHello = ";#1,U?,N?;";

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

Result<InstrumentIdentity> greet_instrument(SerialDevice& port, Logger& logger,
                                            const GreetingTiming& timing) {
    const std::string& tty = port.tty_path();
    port.drain_input();
    logger.info("[DeviceManager] Sending hello to the device: " + tty);
    if (auto written = port.write_all(kHello.data(), kHello.size()); !written) {
        logger.error("[DeviceManager] Failed to write to the device: " + tty);
        return written.error();
    }
    HelloReplyCollector collector;
    std::optional<std::string> reply;
    const auto deadline = std::chrono::steady_clock::now() + timing.limit;
    int empty_polls = 0;
    char chunk[256];
    while (empty_polls < timing.empty_polls) {
        auto read = port.read_some(chunk, sizeof chunk);
        if (!read) {
            if (read.error().code() != EAGAIN) {
                logger.error("[DeviceManager] Failed to read from the device: " + tty);
                return read.error();
            }
            std::this_thread::sleep_for(timing.empty_poll);
            ++empty_polls;
            continue;
        }
        reply = collector.append(std::string_view(chunk, *read));
        // An instrument that keeps talking without ever answering must not hold the main loop.
        if (reply || collector.full() || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    if (collector.buffer().empty()) {
        logger.error("[DeviceManager] Failed to read the response for hello from " + tty);
        return Error::from_errno(ENODATA);
    }
    if (auto identity = parse_hello_reply(reply ? *reply : collector.buffer())) {
        return *identity;
    }
    logger.error("[DeviceManager] Failed to parse the response we're looking for in the device: " +
                 tty);
    logger.debug("[DeviceManager] Response: " + collector.buffer());
    return Error::from_errno(EPROTO);
}

}  // namespace voxapp
