#include "platform/simulated_gps_receiver.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/system_paths.hpp"

namespace voxapp {

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

// Applies one "key=value" line; false when the key is unknown or the value is not a number.
bool apply(std::string_view key, std::string_view value, GpsRecord& record, int& result,
           const SimulatedGpsReceiver::Clock& clock) {
    const auto set_double = [value](double& field) {
        const auto number = parse_number<double>(value);
        if (number) {
            field = *number;
        }
        return number.has_value();
    };
    const auto set_int = [value](std::int32_t& field) {
        const auto number = parse_number<std::int32_t>(value);
        if (number) {
            field = *number;
        }
        return number.has_value();
    };
    if (key == "latitude") {
        return set_double(record.latitude);
    }
    if (key == "longitude") {
        return set_double(record.longitude);
    }
    if (key == "altitude") {
        return set_double(record.altitude);
    }
    if (key == "course") {
        return set_double(record.course);
    }
    if (key == "speed") {
        return set_double(record.speed);
    }
    if (key == "accuracy") {
        return set_double(record.accuracy);
    }
    if (key == "satellites") {
        return set_int(record.satellites);
    }
    if (key == "fix_type") {
        return set_int(record.fix_type);
    }
    if (key == "result") {
        return set_int(result);
    }
    if (key == "timestamp") {
        if (value == "now") {
            constexpr TimePoint kNanosPerSecond = 1'000'000'000;
            const TimePoint now = clock();
            record.timestamp = now / kNanosPerSecond - (now % kNanosPerSecond < 0 ? 1 : 0);
            return true;
        }
        const auto number = parse_number<std::int64_t>(value);
        if (number) {
            record.timestamp = *number;
        }
        return number.has_value();
    }
    return false;
}

}  // namespace

SimulatedGpsReceiver::SimulatedGpsReceiver(std::string path, Clock clock)
    : path_(std::move(path)), clock_(std::move(clock)) {}

int SimulatedGpsReceiver::get(GpsRecordBytes& record) {
    // The path lies in a world-writable directory: anyone may put a FIFO, a device or a huge
    // file there. Only a small regular file is read, and opening never waits for a writer.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return errno == ENOENT ? kGpsResultBusError : kGpsResultLibraryError;
    }
    std::string content;
    struct stat info {};
    bool failed = ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
                  info.st_size > static_cast<off_t>(kMaxFixFileBytes);
    char buffer[512];
    while (!failed) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            failed = count < 0;
            break;
        }
        content.append(buffer, static_cast<std::size_t>(count));
        failed = content.size() > kMaxFixFileBytes;  // grew while being read
    }
    ::close(fd);
    if (failed) {
        return kGpsResultLibraryError;
    }

    GpsRecord fix;
    int result = kGpsResultOk;
    std::string_view rest = content;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view text = trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos ||
            !apply(trim(text.substr(0, equals)), trim(text.substr(equals + 1)), fix, result,
                   clock_)) {
            return kGpsResultLibraryError;
        }
    }
    if (result == kGpsResultBusError || result == kGpsResultLibraryError) {
        return result;
    }
    record = encode_gps_record(fix);
    return result;
}

Result<std::shared_ptr<GpsReceiver>> connect_gps_receiver() {
    // This build has no system bus; the simulated receiver stands in for the router's library.
    return std::shared_ptr<GpsReceiver>(
        std::make_shared<SimulatedGpsReceiver>(system_path(kSimulatedGpsFixPath)));
}

}  // namespace voxapp
