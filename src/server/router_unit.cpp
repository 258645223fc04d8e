#include "server/router_unit.hpp"

#include <utility>

#include "core/md5_digest.hpp"
#include "core/time_point.hpp"
#include "server/gp_reply.hpp"

namespace voxapp {

RouterUnit::RouterUnit(std::uint32_t serial_number, VersionInfo version,
                       std::shared_ptr<Logger> logger, Services services)
    : serial_number_(serial_number),
      version_(std::move(version)),
      logger_(std::move(logger)),
      services_(std::move(services)) {}

void RouterUnit::enqueue_command(std::string text, ReplyCallback reply, CommandExpiry) {
    logger_->data_full("Received command: " + text);
    std::size_t refused = 0;
    std::size_t refused_before = 0;
    {
        std::lock_guard lock(queue_mutex_);
        if (queue_.size() >= kMaxQueuedCommands) {
            refused = ++refused_;
        } else {
            refused_before = std::exchange(refused_, 0);
            queue_.push_back({std::move(text), std::move(reply)});
        }
    }
    if (refused == 1) {
        logger_->error("Command queue full (" + std::to_string(kMaxQueuedCommands) +
                       " commands): dropping commands until it drains");
    }
    if (refused_before > 0) {
        logger_->warning("Command queue has room again; " + std::to_string(refused_before) +
                         " command(s) were dropped unanswered");
    }
}

Status RouterUnit::process() {
    Entry entry;
    {
        std::lock_guard lock(queue_mutex_);
        if (queue_.empty()) {
            return {};
        }
        entry = std::move(queue_.front());
        queue_.pop_front();
    }
    auto command = parse_command(entry.text);
    if (!command) {
        return command.error();
    }
    logger_->debug("Processing command: " + print_command(*command));
    auto reply = answer(*command);
    if (!reply) {
        return reply.error();
    }
    if (entry.reply) {
        entry.reply(*reply);
    }
    return {};
}

DeviceActivity RouterUnit::activity() const {
    std::lock_guard lock(queue_mutex_);
    return queue_.empty() ? DeviceActivity::idle : DeviceActivity::ready;
}

Result<std::string> RouterUnit::answer(const Command& command) {
    switch (command.code) {
        case '7':
            return seven_reply(command);
        case '1':
            return identity_reply(command);
        default:
            logger_->debug("Unknown command: " + print_command(command));
            return std::string("#") + command.code + ",?;";
    }
}

std::string RouterUnit::identity_reply(const Command& command) {
    std::string reply = "#1,";
    for (const std::string& parameter : command.parameters) {
        if (parameter == "U?") {
            reply += "U208,";
        } else if (parameter == "N?") {
            reply += "N" + std::to_string(serial_number_) + ",";
        } else if (parameter == "W?") {
            reply += "W" + version_number_text(version_) + ",";
        } else {
            logger_->debug("Unknown parameter in #1 command: " + parameter);
        }
    }
    if (reply.back() == ',') {
        reply.back() = ';';
    } else {
        reply += ';';
    }
    return reply;
}

Result<std::string> RouterUnit::seven_reply(const Command& command) {
    const std::vector<std::string>& p = command.parameters;
    if (p.empty()) {
        return std::string("#7,?;");
    }
    const std::string& word = p[0];
    if (word == "SN") {
        if (p.size() >= 3 && p[1] == "D" && p[2] == "Z") {
            return time_zone_reply(p);
        }
        return services_.requests->handle("SN", p, serial_number_, kRouterUnitDeviceClass);
    }
    if (word == "MD" && p.size() == 2) {
        return "#7,MD," + unit_password(static_cast<int>(serial_number_), p[1]) + ";";
    }
    if (word == "GP" && p.size() == 1) {
        return gp_long_reply(services_.gps->get_fix());
    }
    if (word == "GP" && p.size() == 2 && p[1] == "1") {
        return gp_short_reply(services_.gps->get_fix());
    }
    if (word == "RT") {
        return "#7,RT," + format_local_time_point(system_now(), "%H,%M,%S,%d,%m,%Y") + ";";
    }
    if (word == "US") {
        return std::string("#7,US,1");
    }
    if (word == "TZ") {
        return std::string("#7,TZ,0;");
    }
    if (word == "BS") {
        return std::string("#7,BS,-1,-1;");
    }
    if (word == "NS" || word == "NF") {
        return storage_reply(word);
    }
    return std::string("#7,?;");
}

std::string RouterUnit::time_zone_reply(const std::vector<std::string>& parameters) {
    if (parameters.size() == 3) {
        auto name = services_.time_zone->current_time_zone();
        if (!name) {
            logger_->error("Failed to get current time zone: " + name.error().message_text());
            return "#7,?;";
        }
        return "#7,SN,D,Z," + *name + ";";
    }
    if (auto changed = services_.time_zone->change_time_zone(parameters[3]); !changed) {
        logger_->error("Failed to change current time zone: " + changed.error().message_text());
        return "#7,?;";
    }
    return "#7,SN,D;";
}

std::string RouterUnit::storage_reply(const std::string& word) {
    // A failed listing answers as if no USB storage were mounted.
    auto storages = services_.storage->list_by_kind(StorageKind::USB);
    std::uint64_t bytes = 0;
    if (storages && !storages->empty()) {
        const MountedStorage& first = storages->front();
        bytes = (word == "NS" ? first.total_bytes : first.free_bytes) / 512;
    }
    return "#7," + word + "," + std::to_string(bytes) + ";";
}

}  // namespace voxapp
