#include "instruments/instrument_reply_assembler.hpp"

#include <algorithm>
#include <charconv>

#include "server/command.hpp"

namespace voxapp {

namespace {

// Garbage kept while the reply's start is still sought: enough for a marker cut in two.
constexpr std::size_t kSearchTail = 64;

std::uint32_t little_endian(std::string_view bytes, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = count; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

bool starts_with_any(const std::string& text, std::string_view letters) {
    return !text.empty() && letters.find(text.front()) != std::string_view::npos;
}

}  // namespace

void InstrumentReplyAssembler::begin(char group, std::string first_parameter) {
    reset();
    group_ = group;
    first_parameter_ = std::move(first_parameter);
    active_ = true;
}

void InstrumentReplyAssembler::reset() {
    reply_.clear();
    active_ = false;
    start_found_ = false;
    header_complete_ = false;
    refused_ = false;
    header_length_ = 0;
    bytes_expected_ = -1;
}

std::string InstrumentReplyAssembler::take_leftover() {
    std::string taken = std::move(leftover_);
    leftover_.clear();
    return taken;
}

void InstrumentReplyAssembler::add_leftover(std::string_view text) {
    if (text.size() >= kMaxBuffer) {
        leftover_.assign(text.substr(text.size() - kMaxBuffer));
        return;
    }
    const std::size_t room = kMaxBuffer - text.size();
    if (leftover_.size() > room) {
        leftover_.erase(0, leftover_.size() - room);
    }
    leftover_.append(text);
}

std::optional<std::string> InstrumentReplyAssembler::feed(std::string_view data, Logger& logger) {
    if (!active_ || refused_) {
        // Nothing is expected: what arrives is the instrument's own talk.
        add_leftover(data);
        return std::nullopt;
    }
    if (reply_.empty() && !leftover_.empty()) {
        reply_ = take_leftover();
    }
    if (header_complete_ && bytes_expected_ > 0) {
        const std::size_t take =
            std::min<std::size_t>(data.size(), static_cast<std::size_t>(bytes_expected_));
        reply_.append(data.substr(0, take));
        bytes_expected_ -= static_cast<std::int64_t>(take);
        add_leftover(data.substr(take));
        return bytes_expected_ == 0 ? finish() : std::nullopt;
    }
    reply_.append(data);
    if (!start_found_) {
        const std::string marker = std::string{'#', group_};
        std::size_t start = reply_.find(first_parameter_.empty() ? marker
                                                                 : marker + "," + first_parameter_);
        if (start == std::string::npos) {
            start = reply_.find(marker + ",?");
        }
        if (start == std::string::npos) {
            if (reply_.size() > kMaxBuffer) {
                add_leftover(std::string_view(reply_).substr(0, reply_.size() - kSearchTail));
                reply_.erase(0, reply_.size() - kSearchTail);
            }
            return std::nullopt;
        }
        if (start > 0) {
            add_leftover(std::string_view(reply_).substr(0, start));
            reply_.erase(0, start);
        }
        start_found_ = true;
    }
    return complete_header(logger);
}

std::optional<std::string> InstrumentReplyAssembler::complete_header(Logger& logger) {
    if (!header_complete_) {
        const std::size_t semicolon = reply_.find(';');
        if (semicolon == std::string::npos) {
            if (reply_.size() > kMaxBuffer) {
                logger.error("Reply header from the device too long; waiting for the time limit");
                refused_ = true;
                add_leftover(reply_);
                reply_.clear();
            }
            return std::nullopt;
        }
        header_length_ = semicolon + 1;
        header_complete_ = true;
    }
    const std::string header = reply_.substr(0, header_length_);
    const std::string_view after = std::string_view(reply_).substr(header_length_);
    const std::optional<std::int64_t> payload = payload_size(header, after, logger);
    if (refused_) {
        add_leftover(after);
        reply_.clear();
        return std::nullopt;
    }
    if (!payload) {
        return std::nullopt;
    }
    const auto needed = static_cast<std::size_t>(*payload);
    if (after.size() >= needed) {
        add_leftover(after.substr(needed));
        reply_.resize(header_length_ + needed);
        return finish();
    }
    bytes_expected_ = static_cast<std::int64_t>(needed - after.size());
    return std::nullopt;
}

std::optional<std::int64_t> InstrumentReplyAssembler::payload_size(const std::string& header,
                                                                   std::string_view after,
                                                                   Logger& logger) {
    auto command = parse_command(header);
    if (!command) {
        logger.error(command.error().message());
        logger.debug("Message: " + reply_);
        refused_ = true;
        return std::nullopt;
    }
    const std::vector<std::string>& p = command->parameters;
    std::uint64_t size = 0;
    if (command->code == 'D' && !p.empty() && starts_with_any(p[0], "RrZz")) {
        std::uint32_t length = 0;
        if (p.size() >= 5) {
            const std::string& field = p[4];
            const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), length);
            if (ec != std::errc() || end != field.data() + field.size()) {
                length = 0;
            }
        }
        size = length;
    } else if (command->code == '4' && (p.size() <= 1 || (p.size() == 3 && p[0] == "0"))) {
        if (after.size() < 4) {
            return std::nullopt;
        }
        size = 4 + std::uint64_t{little_endian(after, 4)};
    } else if (command->code == '3') {
        if (after.empty()) {
            return std::nullopt;
        }
        const bool short_classes = device_class_ == 0 || device_class_ == 1 ||
                                   device_class_ == 7 || device_class_ == 8;
        if (after[0] == '\0' && short_classes) {
            size = 1;
        } else if (after.size() < 3) {
            return std::nullopt;
        } else {
            size = 3 + std::uint64_t{little_endian(after.substr(1), 2)};
        }
    }
    if (size > kMaxPayload) {
        logger.error("Reply payload from the device too large (" + std::to_string(size) +
                     " bytes): " + header);
        refused_ = true;
        return std::nullopt;
    }
    return static_cast<std::int64_t>(size);
}

std::optional<std::string> InstrumentReplyAssembler::finish() {
    std::string reply = std::move(reply_);
    reset();
    return reply;
}

}  // namespace voxapp
