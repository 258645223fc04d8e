// The commands the router answers in an instrument's place.

#include <charconv>

#include "core/md5_digest.hpp"
#include "instruments/instrument_proxy.hpp"
#include "server/gp_reply.hpp"

namespace voxapp {

namespace {

bool is_seven(const Command& command, std::string_view word) {
    return command.code == '7' && !command.parameters.empty() && command.parameters[0] == word;
}

bool is_count_request(const Command& command) {
    return command.code == 'R' && !command.parameters.empty() &&
           command.parameters[0].starts_with('C');
}

}  // namespace

bool BasicInstrumentProxy::is_unsupported(const Command& command) const {
    return is_seven(command, "MD") || is_seven(command, "SV") || is_seven(command, "GP") ||
           is_count_request(command);
}

bool ModelInstrumentProxy::is_unsupported(const Command& command) const {
    const std::uint8_t c = device_class();
    const bool answers_gp = c == 3 || c == 4 || c == 9 || c == 10;
    return is_count_request(command) || is_seven(command, "MD") ||
           (is_seven(command, "SN") && c != 10) || (is_seven(command, "SV") && c == 10) ||
           (is_seven(command, "GP") && !answers_gp);
}

Result<std::string> InstrumentProxy::handle_unsupported(const Command& command) {
    const std::vector<std::string>& p = command.parameters;
    if (command.code == '7' && !p.empty()) {
        if (p[0] == "MD") {
            if (p.size() != 2) {
                return std::string("#7,?;");
            }
            return "#7,MD," + unit_password(static_cast<int>(serial_number_), p[1]) + ";";
        }
        if (p[0] == request_word()) {
            return services_.requests->handle(request_word(), p, serial_number_, device_class_);
        }
        if (p[0] == "GP" && p.size() == 1) {
            return gp_long_reply(services_.gps->get_fix());
        }
        if (p[0] == "GP" && p.size() == 2 && p[1] == "1") {
            return gp_short_reply(services_.gps->get_fix());
        }
    }
    if (command.code == 'R') {
        if (p.empty()) {
            return Error::fixed("No parameters for R command.");
        }
        if (p[0] == "C?") {
            auto count = services_.device_count->get();
            return count ? "#R,C," + std::to_string(*count) + ";" : std::string("#R,?;");
        }
        if (p[0] == "C" && p.size() == 2) {
            std::uint32_t count = 0;
            const std::string& field = p[1];
            const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), count);
            if (field.empty() || ec != std::errc() || end != field.data() + field.size()) {
                return std::string("#R,?;");
            }
            if (!services_.device_count->set(count)) {
                return std::string("#R,?;");
            }
            return "#R,C," + std::to_string(count) + ";";
        }
        return std::string("#R,?;");
    }
    return Error::fixed("Don't know how to handle unsupported command.");
}

}  // namespace voxapp
