#include "gps_fix_file.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>
#include <system_error>

namespace voxapp::sim {
namespace {

std::string_view trim(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

template <typename Number>
bool set(std::string_view value, Number& field) {
    const auto number = parse_number<Number>(value);
    if (number) {
        field = *number;
    }
    return number.has_value();
}

// Applies one "key=value" line; false when the key is unknown or the value is not a number.
bool apply(std::string_view key, std::string_view value, GpsFixFile& fix, TimePoint now) {
    GpsRecord& record = fix.record;
    if (key == "latitude") {
        return set(value, record.latitude);
    }
    if (key == "longitude") {
        return set(value, record.longitude);
    }
    if (key == "altitude") {
        return set(value, record.altitude);
    }
    if (key == "course") {
        return set(value, record.course);
    }
    if (key == "speed") {
        return set(value, record.speed);
    }
    if (key == "accuracy") {
        return set(value, record.accuracy);
    }
    if (key == "satellites") {
        return set(value, record.satellites);
    }
    if (key == "fix_type") {
        return set(value, record.fix_type);
    }
    if (key == "result") {
        return set(value, fix.result);
    }
    if (key == "timestamp") {
        if (value == "now") {
            constexpr TimePoint kNanosPerSecond = 1'000'000'000;
            record.timestamp = now / kNanosPerSecond - (now % kNanosPerSecond < 0 ? 1 : 0);
            return true;
        }
        return set(value, record.timestamp);
    }
    return false;
}

}  // namespace

GpsFixFile parse_gps_fix(const std::string& text, TimePoint now) {
    GpsFixFile fix;
    fix.outcome = GpsFixFile::Outcome::fix;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos ||
            !apply(trim(line.substr(0, equals)), trim(line.substr(equals + 1)), fix, now)) {
            return GpsFixFile{GpsFixFile::Outcome::invalid, 0, {}};
        }
    }
    return fix;
}

GpsFixFile read_gps_fix_file(const std::string& path, TimePoint now) {
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        return GpsFixFile{
            errno == ENOENT ? GpsFixFile::Outcome::no_file : GpsFixFile::Outcome::invalid, 0, {}};
    }
    std::string content;
    char buffer[512];
    std::size_t count;
    // A fix is a few lines; a huge file is a mistake, not a position.
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0 && content.size() < 65536) {
        content.append(buffer, count);
    }
    const bool failed = std::ferror(file) != 0 || content.size() >= 65536;
    std::fclose(file);
    if (failed) {
        return GpsFixFile{GpsFixFile::Outcome::invalid, 0, {}};
    }
    return parse_gps_fix(content, now);
}

}  // namespace voxapp::sim
