#include "support/sim_server_process.hpp"

#include <charconv>
#include <cstdlib>
#include <stdexcept>

#include "support/daemon_process.hpp"

namespace voxapp::test {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kStampLength = 12;  // "HH:MM:SS.mmm"

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string unescape(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes.push_back('\\');
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   hex_digit(text[i + 2]) >= 0 && hex_digit(text[i + 3]) >= 0) {
            bytes.push_back(
                static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3])));
            i += 3;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

// Splits off the first blank-separated word of `rest`.
std::string next_word(std::string_view& rest) {
    const std::size_t blank = rest.find(' ');
    std::string word(rest.substr(0, blank));
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    return word;
}

template <typename Number>
std::optional<Number> number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string sim_server_binary() {
    if (const char* path = std::getenv("VOXAPP_SIM_SERVER")) {
        return path;
    }
#ifdef VOXAPP_SIM_SERVER_PATH
    return VOXAPP_SIM_SERVER_PATH;
#else
    const std::string daemon = VOXAPP_BINARY_PATH;
    return daemon.substr(0, daemon.rfind('/') + 1) + "tools/voxapp-sim-server";
#endif
}

SimLine parse_sim_line(const std::string& line) {
    SimLine parsed;
    parsed.line = line;
    if (line.size() <= kStampLength || line[kStampLength] != ' ') {
        parsed.text = line;
        return parsed;
    }
    std::string_view rest = std::string_view(line).substr(kStampLength + 1);
    if (rest.substr(0, 4) == "sim ") {
        rest.remove_prefix(4);
        parsed.event = next_word(rest);
        parsed.text = std::string(rest);
        return parsed;
    }
    const std::size_t close = rest.find("] ");
    if (rest.empty() || rest.front() != '[' || close == std::string_view::npos) {
        parsed.text = line;
        return parsed;
    }
    parsed.connection = number<int>(rest.substr(1, close - 1)).value_or(-1);
    rest.remove_prefix(close + 2);
    parsed.event = next_word(rest);
    if (parsed.event != "->" && parsed.event != "<-") {
        parsed.text = std::string(rest);
        return parsed;
    }
    parsed.kind = next_word(rest);
    for (;;) {
        std::string_view probe = rest;
        const std::string word = next_word(probe);
        if (word.rfind("id=", 0) == 0) {
            parsed.id = number<std::uint16_t>(std::string_view(word).substr(3));
        } else if (word.rfind("len=", 0) == 0) {
            parsed.length = number<std::uint32_t>(std::string_view(word).substr(4));
        } else if (word == "partial") {
            parsed.partial = true;
        } else if (word.rfind("pieces=", 0) != 0) {
            break;
        }
        rest = probe;
    }
    parsed.text = unescape(rest);
    return parsed;
}

SimServerProcess::SimServerProcess(const std::vector<std::string>& ca_outputs,
                                   const std::vector<std::string>& extra_arguments) {
    std::vector<std::string> words = {sim_server_binary(), "serve", "--port", "0"};
    for (const auto& path : ca_outputs) {
        words.push_back("--ca-out");
        words.push_back(path);
    }
    words.insert(words.end(), extra_arguments.begin(), extra_arguments.end());
    child_ = std::make_unique<ConsoleChild>(words);
    const auto listening = take([](const SimLine& line) { return line.event == "listening"; }, 15s);
    if (!listening) {
        const std::string seen = transcript();
        child_.reset();
        throw std::runtime_error("the simulator " + words[0] + " did not start:\n" + seen);
    }
    const auto port = number<std::uint16_t>(
        std::string_view(listening->text).substr(listening->text.rfind(':') + 1));
    port_ = port.value_or(0);
}

SimServerProcess::~SimServerProcess() = default;

void SimServerProcess::send_line(const std::string& line) {
    child_->send_line(line);
}

void SimServerProcess::close_input() {
    child_->close_input();
}

std::optional<int> SimServerProcess::wait_for_exit(std::chrono::milliseconds timeout) {
    return child_->wait_for_exit(timeout);
}

std::optional<SimLine> SimServerProcess::take(const std::function<bool(const SimLine&)>& matches,
                                              std::chrono::milliseconds timeout) {
    const auto raw = child_->take(
        [&matches](const std::string& line) { return matches(parse_sim_line(line)); }, timeout);
    if (!raw) {
        return std::nullopt;
    }
    return parse_sim_line(*raw);
}

std::optional<int> SimServerProcess::wait_for_established(std::chrono::milliseconds timeout) {
    const auto line =
        take([](const SimLine& line) { return line.event == "established"; }, timeout);
    if (!line) {
        return std::nullopt;
    }
    return line->connection;
}

std::optional<SimLine> SimServerProcess::wait_for_frame(int connection,
                                                        std::chrono::milliseconds timeout) {
    return take(
        [connection](const SimLine& line) {
            return line.connection == connection && line.event == "<-";
        },
        timeout);
}

std::optional<SimLine> SimServerProcess::wait_for_closed(int connection,
                                                         std::chrono::milliseconds timeout) {
    return take(
        [connection](const SimLine& line) {
            return line.connection == connection && line.event == "closed";
        },
        timeout);
}

std::optional<SimLine> SimServerProcess::ask(int connection, const std::string& frame_line,
                                             std::chrono::milliseconds timeout) {
    send_line("@" + std::to_string(connection) + " " + frame_line);
    return wait_for_frame(connection, timeout);
}

std::string SimServerProcess::transcript() const {
    return child_->transcript();
}

}  // namespace voxapp::test
