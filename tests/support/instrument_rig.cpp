#include "support/instrument_rig.hpp"

#include "support/router_unit_session.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {

namespace {

using namespace std::chrono_literals;

constexpr auto kCommandBound = 10s;

}  // namespace

std::string sim_instrument_binary() {
    const std::string server = sim_server_binary();
    return server.substr(0, server.rfind('/') + 1) + "voxapp-sim-instrument";
}

SimInstrument::SimInstrument(const DaemonRoot& root, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {sim_instrument_binary(), "--root", root.path()};
    argv.insert(argv.end(), options.begin(), options.end());
    console_ = std::make_unique<ConsoleChild>(argv);
    if (!console_->take_prefix("ready", kCommandBound)) {
        throw std::runtime_error("the instrument simulator did not start:\n" +
                                 console_->transcript());
    }
}

bool SimInstrument::run(const std::string& command) {
    console_->send_line(command);
    const std::string word = command.substr(0, command.find(' '));
    const auto answer = console_->take(
        [&word](const std::string& line) { return line == "ok " + word || line.starts_with("error"); },
        kCommandBound);
    return answer && answer->starts_with("ok ");
}

std::optional<std::string> SimInstrument::wait_for(const std::string& prefix,
                                                   std::chrono::milliseconds timeout) {
    return console_->take_prefix(prefix, timeout);
}

bool SimInstrument::saw(const std::string& prefix) const {
    const std::string text = "\n" + console_->transcript();
    return text.find("\n" + prefix) != std::string::npos;
}

InstrumentRig::InstrumentRig(const Options& options)
    : server_(std::make_unique<SimServerProcess>(
          std::vector<std::string>{root_.app_dir() + "/cert/ca.crt"})),
      timing_(options.timing) {
    ServerLinkSettings settings;
    settings.extra_settings = options.extra_settings;
    prepare_server_link(root_, server_->port(), settings);
}

InstrumentRig::~InstrumentRig() {
    daemon_.reset();
    instruments_.clear();
    bus_.reset();
    server_.reset();
}

bool InstrumentRig::start_bus() {
    if (!ubus_rig_available()) {
        return false;
    }
    bus_ = std::make_unique<UbusRig>(root_.path());
    return bus_->ready();
}

SimInstrument& InstrumentRig::add_instrument(const std::string& tty, std::uint32_t serial,
                                             std::uint32_t unit_type,
                                             const std::vector<std::string>& extra, bool present) {
    std::vector<std::string> options = {"--tty", tty, "--serial", std::to_string(serial),
                                        "--unit-type", std::to_string(unit_type)};
    options.insert(options.end(), extra.begin(), extra.end());
    if (present) {
        options.push_back("--plugged");
    }
    instruments_.push_back(std::make_unique<SimInstrument>(root_, options));
    return *instruments_.back();
}

void InstrumentRig::start_daemon() {
    std::map<std::string, std::string> environment{{"VOXAPP_ROOT", root_.path()}};
    if (!timing_.empty()) {
        environment.emplace("VOXAPP_TIMING", timing_);
    }
    daemon_.emplace(root_.executable(), std::vector<std::string>{}, environment,
                    working_directory_);
}

std::string InstrumentRig::count_file() const {
    return read_file(root_.app_dir() + "/numberOfDevices");
}

std::optional<int> InstrumentRig::wait_for_connection(std::chrono::milliseconds timeout) {
    return server_->wait_for_established(timeout);
}

std::optional<int> InstrumentRig::connection_of(std::uint32_t serial,
                                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto connection = server_->wait_for_established(left);
        if (!connection) {
            return std::nullopt;
        }
        const auto reply = server_->ask(*connection, "#1,N?;", kCommandBound);
        if (reply && reply->text == "#1,N" + std::to_string(serial) + ";") {
            return connection;
        }
    }
    return std::nullopt;
}

std::string InstrumentRig::diagnostics() const {
    std::string text = "--- daemon console ---\n" + (daemon_ ? daemon_->output() : "") +
                       "--- daemon errors ---\n" + (daemon_ ? daemon_->errors() : "") +
                       "--- server ---\n" + server_->transcript();
    for (const auto& instrument : instruments_) {
        text += "--- instrument ---\n" + instrument->transcript();
    }
    if (bus_) {
        text += "--- bus ---\n" + bus_->diagnostics();
    }
    return text;
}

}  // namespace voxapp::test
