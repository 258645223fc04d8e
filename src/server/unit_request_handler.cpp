#include "server/unit_request_handler.hpp"

#include <cerrno>
#include <cstdlib>

#include "core/time_point.hpp"

namespace voxapp {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// A whole signed decimal number of seconds, not negative, that keeps start + duration inside
// the time scale; anything else cannot form a time range.
std::optional<std::int64_t> parse_duration(const std::string& text, TimePoint start) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || errno == ERANGE || seconds < 0) {
        return std::nullopt;
    }
    std::int64_t length = 0;
    std::int64_t finish = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(seconds), kNanosPerSecond, &length) ||
        __builtin_add_overflow(start, length, &finish)) {
        return std::nullopt;
    }
    return seconds;
}

}  // namespace

UnitRequestHandler::UnitRequestHandler(std::uint32_t router_serial, VersionInfo version,
                                       std::shared_ptr<ClientService> clients,
                                       std::shared_ptr<CameraDirectory> cameras,
                                       std::shared_ptr<RecordingRequester> recordings,
                                       std::shared_ptr<Logger> logger)
    : router_serial_(router_serial),
      version_(std::move(version)),
      clients_(std::move(clients)),
      cameras_(std::move(cameras)),
      recordings_(std::move(recordings)),
      logger_(std::move(logger)) {}

Result<std::string> UnitRequestHandler::handle(std::string_view identity,
                                               const std::vector<std::string>& parameters,
                                               std::uint32_t unit_serial,
                                               std::uint8_t device_class) {
    const std::string prefix = "#7," + std::string(identity);
    if (parameters.size() < 2) {
        return prefix + ";";
    }
    const std::string& word = parameters[1];
    const std::vector<std::string> rest(parameters.begin() + 2, parameters.end());
    if (word == "A") {
        return parameters.size() == 2 ? prefix + ",A,,;" : prefix + ",A;";
    }
    if (word == "F") {
        return prefix + ",OK;";
    }
    if (word == "D") {
        return credentials(prefix, rest, unit_serial);
    }
    if (word == "T") {
        return recording(prefix, rest, unit_serial, device_class);
    }
    if (word == "S" || word == "0") {
        return unit_details(prefix, word);
    }
    return prefix + ";";
}

std::string UnitRequestHandler::credentials(const std::string& prefix,
                                            const std::vector<std::string>& q,
                                            std::uint32_t unit_serial) {
    if (q.size() >= 2 && q[0] == "C" && q[1] == "0") {
        logger_->info("FTP credentials cleared");
        (void)clients_->remove_client(unit_serial);
        return prefix + ",D;";
    }
    if (q.size() == 4 && q[0] == "C" && q[1] == "1") {
        logger_->info("Received FTP credentials");
        (void)clients_->set_credentials(unit_serial, q[2], q[3]);
        return prefix + ",D;";
    }
    return prefix + ",?;";
}

std::string UnitRequestHandler::recording(const std::string& prefix,
                                          const std::vector<std::string>& q,
                                          std::uint32_t unit_serial, std::uint8_t device_class) {
    if (q.size() < 3 || q[0] != "C") {
        return prefix + ",?;";
    }
    auto start = parse_local_time_point(q[1], "%Y-%m-%d %H:%M:%S", TrailingText::refused);
    if (!start) {
        return prefix + ",?;";
    }
    const auto seconds = parse_duration(q[2], *start);
    if (!seconds) {
        return prefix + ",?;";
    }
    logger_->info("Requesting camera recording for Velnora: " +
                  format_local_time_point(*start, "%Y-%m-%d %H:%M:%S") + ", +" +
                  std::to_string(*seconds) + " s");

    int outcome = 0;
    auto camera = cameras_->first_online_camera();
    if (!camera || !camera->has_value()) {
        logger_->error("No online cameras available to request recording for Velnora");
        outcome = 1;
    } else {
        auto range = TimeRange::create(*start, *start + *seconds * kNanosPerSecond);
        Status requested = range ? recordings_->request_recording(
                                       **camera, unit_serial, {device_class, unit_serial}, *range)
                                 : Status(range.error());
        if (!requested) {
            logger_->error("Failed to request camera recording for Velnora: " +
                           requested.error().message_text());
            outcome = 2;
        }
    }
    return prefix + ",T," + std::to_string(outcome) + ";";
}

std::string UnitRequestHandler::unit_details(const std::string& prefix, std::string_view word) {
    auto usable = cameras_->has_discovered_or_online_camera();
    const char* camera_flag = usable && *usable ? "1" : "0";
    return prefix + "," + (word == "S" ? "S" : "208") + "," + std::to_string(router_serial_) + "," +
           version_number_text(version_) + "," + camera_flag + ";";
}

}  // namespace voxapp
