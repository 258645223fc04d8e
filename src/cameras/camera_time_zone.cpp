#include "cameras/camera_time_zone.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace voxapp {
namespace {

// Offsets and day numbers in the TZ text are small; longer digit runs saturate here so that
// no arithmetic below can overflow.
constexpr std::int64_t kFieldLimit = 999'999;

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// "<...>" or a run of letters, from `at`; empty (and nothing consumed) when there is none.
std::string_view read_name(std::string_view text, std::size_t& at) {
    if (at < text.size() && text[at] == '<') {
        const std::size_t close = text.find('>', at);
        if (close == std::string_view::npos) {
            return {};
        }
        const std::string_view name = text.substr(at, close - at + 1);
        at = close + 1;
        return name;
    }
    const std::size_t start = at;
    while (at < text.size() && is_letter(text[at])) {
        ++at;
    }
    return text.substr(start, at - start);
}

// An optional sign and a non-empty run of digits and ':'; nothing consumed when absent.
std::optional<std::string_view> read_offset(std::string_view text, std::size_t& at) {
    std::size_t end = at;
    if (end < text.size() && (text[end] == '+' || text[end] == '-')) {
        ++end;
    }
    const std::size_t run = end;
    while (end < text.size() && (is_digit(text[end]) || text[end] == ':')) {
        ++end;
    }
    if (end == run) {
        return std::nullopt;
    }
    const std::string_view offset = text.substr(at, end - at);
    at = end;
    return offset;
}

std::int64_t leading_number(std::string_view text) {
    std::int64_t value = 0;
    for (std::size_t at = 0; at < text.size() && is_digit(text[at]); ++at) {
        value = std::min(value * 10 + (text[at] - '0'), kFieldLimit);
    }
    return value;
}

// sign × (hours × 60 + minutes + seconds / 60) of "[+-]h[:m[:s]]".
std::int64_t offset_minutes(std::string_view offset) {
    std::int64_t sign = 1;
    if (!offset.empty() && (offset[0] == '+' || offset[0] == '-')) {
        sign = offset[0] == '-' ? -1 : 1;
        offset.remove_prefix(1);
    }
    std::int64_t fields[3] = {0, 0, 0};
    for (std::int64_t& field : fields) {
        field = leading_number(offset);
        const std::size_t colon = offset.find(':');
        if (colon == std::string_view::npos) {
            break;
        }
        offset.remove_prefix(colon + 1);
    }
    return sign * (fields[0] * 60 + fields[1] + fields[2] / 60);
}

std::string minutes_text(std::int64_t minutes) {
    if (minutes == 0) {
        return "0";
    }
    std::string text = minutes < 0 ? "-" : "";
    const std::int64_t magnitude = minutes < 0 ? -minutes : minutes;
    char buffer[48];
    if (magnitude % 60 != 0) {
        std::snprintf(buffer, sizeof buffer, "%" PRId64 ":%02" PRId64, magnitude / 60,
                      magnitude % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%" PRId64, magnitude / 60);
    }
    return text + buffer;
}

// "Mm.w.d/time": a time of 25 hours or more becomes a later day and a time within the day.
std::string convert_rule(std::string_view rule) {
    const std::size_t slash = rule.find('/');
    if (slash == std::string_view::npos) {
        return std::string(rule);
    }
    const std::string_view time = rule.substr(slash + 1);
    std::size_t at = 0;
    const auto offset = read_offset(time, at);
    const std::int64_t minutes = offset ? offset_minutes(*offset) : 0;
    if (minutes < 1500) {
        return std::string(rule);
    }
    const std::string_view date = rule.substr(0, slash);
    const std::size_t dot = date.rfind('.');
    if (dot == std::string_view::npos) {
        return std::string(rule);
    }
    const std::int64_t day = leading_number(date.substr(dot + 1)) + minutes / 1440;
    const std::size_t colon = time.find(':');
    const std::string_view rest =
        colon == std::string_view::npos ? std::string_view() : time.substr(colon);
    return std::string(date.substr(0, dot + 1)) + std::to_string(day) + "/" +
           std::to_string(minutes / 60 % 24) + std::string(rest);
}

}  // namespace

std::string camera_time_zone(std::string_view posix) {
    std::string camera;
    std::size_t at = 0;
    if (!read_name(posix, at).empty()) {
        camera += "CST";
    }
    std::int64_t standard = 0;
    if (const auto offset = read_offset(posix, at)) {
        camera += *offset;
        standard = offset_minutes(*offset);
    } else if (!posix.empty()) {
        camera += "0";
    }
    if (at < posix.size() && posix[at] != ',' && !read_name(posix, at).empty()) {
        camera += "DST";
        std::int64_t shift = 60;
        if (const auto daylight = read_offset(posix, at)) {
            shift = standard - offset_minutes(*daylight);
        }
        camera += minutes_text(shift);
    }
    if (at < posix.size() && posix[at] == ',') {
        const std::string_view rules = posix.substr(at + 1);
        const std::size_t comma = rules.find(',');
        if (comma == std::string_view::npos) {
            camera += "," + std::string(rules);
        } else {
            camera += "," + convert_rule(rules.substr(0, comma)) + "," +
                      convert_rule(rules.substr(comma + 1));
        }
    }
    return camera;
}

}  // namespace voxapp
