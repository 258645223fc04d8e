#include "sim_server/console.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <sstream>

#include "core/hex_digit.hpp"

namespace voxapp::sim {

namespace {

constexpr auto kReplyLimit = std::chrono::seconds(10);
constexpr auto kDefaultWait = std::chrono::seconds(30);
constexpr std::size_t kShownBytes = 512;
constexpr std::size_t kDefaultPiece = 4096;

std::string stamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", parts.tm_hour, parts.tm_min,
                  parts.tm_sec, static_cast<int>(millis));
    return text;
}

std::string escape(std::string_view bytes) {
    std::string shown;
    const std::size_t limit = std::min(bytes.size(), kShownBytes);
    for (std::size_t i = 0; i < limit; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\\') {
            shown += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            shown += hex;
        } else {
            shown.push_back(static_cast<char>(byte));
        }
    }
    if (limit < bytes.size()) {
        shown += "... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return shown;
}


// "\xHH" and "\\" stand for one byte; any other backslash is kept as it is.
std::string unescape(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes.push_back('\\');
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   hex_value(text[i + 2]) >= 0 && hex_value(text[i + 3]) >= 0) {
            bytes.push_back(
                static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3])));
            i += 3;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

template <typename Number>
std::optional<Number> number(std::string_view word) {
    Number value{};
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || word.empty()) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

std::string fixed3(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// "median_ms=... p99_ms=..." for `samples` (sorted here).
std::string statistics(const std::string& prefix, std::vector<double> samples) {
    if (samples.empty()) {
        return "";
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    const double p99 = samples[std::max<std::size_t>(rank, 1) - 1];
    const double mean = std::accumulate(samples.begin(), samples.end(), 0.0) / n;
    return " " + prefix + "median_ms=" + fixed3(median) + " " + prefix + "p99_ms=" + fixed3(p99) +
           " " + prefix + "min_ms=" + fixed3(samples.front()) + " " + prefix +
           "max_ms=" + fixed3(samples.back()) + " " + prefix + "mean_ms=" + fixed3(mean);
}

constexpr const char* kHelp[] = {
    "#TEXT                 send TEXT as a PLAIN frame, e.g. #1,U?,N?;",
    ">ID TEXT              send an ASCII frame with request id ID, e.g. >7 #7,GP;",
    "<ID TEXT              send TEXT as a BINARY frame's payload, e.g. <9 #D,r;",
    "@N LINE               send LINE on connection N instead of the current one",
    ":list | :use N        list the connections | make N the current one",
    ":drop [N] | :reset [N]  close a connection (TLS close_notify | TCP reset)",
    ":long ID LEN [PIECE [PAUSE_MS]]  streamed BINARY frame of LEN payload bytes",
    ":raw HEX              send bytes unframed",
    ":wait connection [S] | :wait reply [S]  hold further input until that happens",
    ":pause MS             hold further input for MS milliseconds",
    ":lockstep on|off      after each frame, hold input until the reply",
    ":stall [N] on|off     stop (resume) reading a connection",
    ":bench COUNT LINE     COUNT round trips of LINE, then their statistics",
    ":help | :quit         (\\xHH in a text stands for that byte)",
};

}  // namespace

Console::Console(int out, int log) : out_(out), log_(log) {}

void Console::report(std::string_view text) {
    write_line(stamp() + " sim " + std::string(text));
}

void Console::connection_line(int connection, const std::string& text) {
    write_line(stamp() + " [" + std::to_string(connection) + "] " + text);
}

void Console::write_line(const std::string& line) {
    const std::string whole = line + "\n";
    for (const int fd : {out_, log_}) {
        if (fd < 0) {
            continue;
        }
        std::size_t done = 0;
        while (done < whole.size()) {
            const ssize_t count = ::write(fd, whole.data() + done, whole.size() - done);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                break;
            }
            done += static_cast<std::size_t>(count);
        }
    }
}

void Console::print_help() {
    for (const char* line : kHelp) {
        report(line);
    }
}

void Console::on_input(std::string_view bytes) {
    partial_input_.append(bytes);
    std::size_t end;
    while ((end = partial_input_.find('\n')) != std::string::npos) {
        std::string line = partial_input_.substr(0, end);
        partial_input_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines_.push_back(std::move(line));
    }
    tick();
}

void Console::on_input_end() {
    if (!partial_input_.empty()) {
        lines_.push_back(std::move(partial_input_));
        partial_input_.clear();
    }
    input_ended_ = true;
    tick();
}

void Console::tick() {
    // A line may make the server call back into the console, which ticks again: the outer
    // tick goes on with the queue, so that lines run one after the other.
    if (ticking_) {
        return;
    }
    ticking_ = true;
    const auto now = Clock::now();
    if (hold_ && hold_->kind == Hold::Kind::pause && now >= hold_->deadline) {
        hold_.reset();
    }
    if (hold_ && now >= hold_->deadline) {
        report(hold_->kind == Hold::Kind::connection
                   ? "timeout waiting for a connection"
                   : "timeout waiting for a reply on [" + std::to_string(hold_->connection) + "]");
        failed_ = true;
        hold_.reset();
    }
    if (bench_ && now >= bench_->deadline) {
        finish_bench("no reply within " + std::to_string(kReplyLimit.count()) + " s");
    }
    while (!finished_ && !hold_ && !bench_ && !lines_.empty()) {
        const std::string line = std::move(lines_.front());
        lines_.pop_front();
        run_line(line);
    }
    if (input_ended_ && lines_.empty() && !hold_ && !bench_) {
        finished_ = true;
    }
    ticking_ = false;
}

std::optional<Clock::time_point> Console::next_deadline() const {
    std::optional<Clock::time_point> next;
    if (hold_) {
        next = hold_->deadline;
    }
    if (bench_ && (!next || bench_->deadline < *next)) {
        next = bench_->deadline;
    }
    return next;
}

void Console::on_connected(int connection, const std::string& peer) {
    connection_line(connection, "connected " + peer);
}

void Console::on_established(int connection, const std::string& protocol) {
    established_.push_back(connection);
    connection_line(connection, "established " + protocol);
    if (hold_ && hold_->kind == Hold::Kind::connection) {
        hold_.reset();
        tick();
    }
}

void Console::on_received(int connection, const Frame& frame) {
    const auto now = Clock::now();
    ++frames_received_[connection];
    std::string line = std::string("<- ") + frame_kind_name(frame.kind);
    if (frame.kind == FrameKind::ascii || frame.kind == FrameKind::binary) {
        line += " id=" + std::to_string(frame.id);
    }
    if (frame.kind == FrameKind::binary) {
        line += " len=" + std::to_string(frame.length);
    }
    if (frame.partial) {
        line += " partial";
    }
    connection_line(connection, line + " " + escape(frame.text));

    if (bench_ && bench_->connection == connection) {
        bench_->round_trip_ms.push_back(milliseconds(now - bench_->sent_at));
        bench_->first_byte_ms.push_back(milliseconds(frame.first_byte - bench_->sent_at));
        bench_next();
    }
    if (hold_ && hold_->kind == Hold::Kind::reply && hold_->connection == connection) {
        hold_.reset();
    }
    tick();
}

void Console::on_closed(int connection, const std::string& why) {
    connection_line(connection, "closed " + why);
    established_.erase(std::remove(established_.begin(), established_.end(), connection),
                       established_.end());
    if (chosen_ == connection) {
        chosen_.reset();
    }
    if (bench_ && bench_->connection == connection) {
        finish_bench("the connection closed");
    }
    if (hold_ && hold_->kind == Hold::Kind::reply && hold_->connection == connection) {
        report("connection [" + std::to_string(connection) + "] closed before its reply");
        failed_ = true;
        hold_.reset();
    }
    tick();
}

int Console::current_connection() const {
    if (chosen_) {
        return *chosen_;
    }
    return established_.empty() ? 0 : established_.back();
}

std::optional<int> Console::target(const std::string& word) {
    if (word.empty()) {
        if (const int current = current_connection(); current != 0) {
            return current;
        }
        report("error: no connection established");
        failed_ = true;
        return std::nullopt;
    }
    const auto id = number<int>(word);
    if (!id) {
        report("error: not a connection number: " + word);
        failed_ = true;
    }
    return id;
}

void Console::run_line(const std::string& raw) {
    const std::size_t first = raw.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return;
    }
    const std::string line = raw.substr(first);
    if (line.front() == ':') {
        run_directive(line);
    } else if (line.front() == '@') {
        const std::size_t blank = line.find(' ');
        const auto id = target(line.substr(1, blank == std::string::npos ? 0 : blank - 1));
        if (id && blank != std::string::npos) {
            send_frame_line(*id, line.substr(line.find_first_not_of(' ', blank)));
        } else if (id) {
            report("error: nothing to send after " + line);
            failed_ = true;
        }
    } else if (line.front() == '#' || line.front() == '>' || line.front() == '<') {
        if (const auto id = target("")) {
            send_frame_line(*id, line);
        }
    } else {
        report("error: unknown input (:help lists the commands): " + escape(line));
        failed_ = true;
    }
}

std::optional<Console::Outgoing> Console::parse_frame_line(const std::string& line) {
    if (line.front() == '#') {
        const std::string text = unescape(line);
        return Outgoing{plain_frame(text), "PLAIN " + escape(text)};
    }
    std::size_t digits = 1;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
        ++digits;
    }
    const auto id = number<std::uint32_t>(std::string_view(line).substr(1, digits - 1));
    const std::size_t text_start = line.find_first_not_of(' ', digits);
    if (!id || *id > 0xFFFF || text_start == std::string::npos || text_start == digits) {
        report("error: expected " + std::string(1, line.front()) +
               "ID TEXT with ID 0-65535: " + escape(line));
        failed_ = true;
        return std::nullopt;
    }
    const std::string text = unescape(std::string_view(line).substr(text_start));
    const auto request_id = static_cast<std::uint16_t>(*id);
    if (line.front() == '>') {
        return Outgoing{ascii_frame(request_id, text),
                        "ASCII id=" + std::to_string(*id) + " " + escape(text)};
    }
    return Outgoing{binary_frame(request_id, text), "BINARY id=" + std::to_string(*id) +
                                                        " len=" + std::to_string(text.size()) +
                                                        " " + escape(text)};
}

void Console::send_frame_line(int connection, const std::string& line) {
    const auto outgoing = parse_frame_line(line);
    if (!outgoing) {
        return;
    }
    if (Status sent = server_->send(connection, outgoing->bytes); !sent) {
        report("error: " + sent.error().message_text());
        failed_ = true;
        return;
    }
    connection_line(connection, "-> " + outgoing->description);
    if (lockstep_) {
        hold_for_reply(connection, kReplyLimit);
    }
}

void Console::hold_for_reply(int connection, std::chrono::milliseconds limit) {
    hold_ = Hold{Hold::Kind::reply, connection, frames_received_[connection], Clock::now() + limit};
}

void Console::run_directive(const std::string& line) {
    const auto words = words_of(line);
    const std::string& name = words[0];
    const auto word = [&words](std::size_t at) {
        return at < words.size() ? words[at] : std::string();
    };
    if (name == ":help") {
        print_help();
    } else if (name == ":quit") {
        finished_ = true;
    } else if (name == ":list") {
        const auto list = server_->connections();
        if (list.empty()) {
            report("no connections");
        }
        for (const auto& entry : list) {
            report("connection [" + std::to_string(entry.id) + "] " + entry.peer +
                   (entry.established ? " established" : " handshaking") +
                   (entry.id == current_connection() ? " (current)" : ""));
        }
    } else if (name == ":use") {
        const auto id = target(word(1));
        if (id && server_->is_established(*id)) {
            chosen_ = *id;
        } else if (id) {
            report("error: no established connection [" + std::to_string(*id) + "]");
            failed_ = true;
        }
    } else if (name == ":drop" || name == ":reset") {
        if (const auto id = target(word(1))) {
            if (Status dropped = server_->drop(*id, name == ":reset"); !dropped) {
                report("error: " + dropped.error().message_text());
                failed_ = true;
            }
        }
    } else if (name == ":long") {
        const auto id = number<std::uint16_t>(word(1));
        const auto length = number<std::uint32_t>(word(2));
        const auto piece = words.size() > 3 ? number<std::size_t>(word(3)) : kDefaultPiece;
        const auto pause = words.size() > 4 ? number<unsigned>(word(4)) : 0u;
        // The command's own length field counts the data bytes after its header, so that an
        // instrument can tell where the transfer ends.
        std::string header = "#9,1," + word(2) + ",";
        if (length) {
            for (std::size_t digits = 1; digits <= 10; ++digits) {
                const std::size_t overhead = 6 + digits;
                if (*length < overhead) {
                    break;
                }
                const std::string data = std::to_string(*length - overhead);
                if (data.size() == digits) {
                    header = "#9,1," + data + ",";
                    break;
                }
            }
        }
        if (!id || !length || !piece || *piece == 0 || !pause || *length < header.size()) {
            report("error: expected :long ID LEN [PIECE [PAUSE_MS]] with LEN >= " +
                   std::to_string(header.size()));
            failed_ = true;
            return;
        }
        const auto connection = target("");
        if (!connection) {
            return;
        }
        std::string payload = header;
        constexpr std::string_view kFiller = "0123456789ABCDEF;";
        while (payload.size() < *length) {
            payload.push_back(kFiller[(payload.size() - header.size()) % kFiller.size()]);
        }
        const std::string frame = binary_header(*id, *length) + payload;
        std::size_t pieces = 0;
        for (std::size_t at = 0; at < frame.size(); at += *piece, ++pieces) {
            const auto delay = pieces == 0 ? Clock::duration{} : std::chrono::milliseconds(*pause);
            if (Status sent = server_->send(*connection, frame.substr(at, *piece), delay); !sent) {
                report("error: " + sent.error().message_text());
                failed_ = true;
                return;
            }
        }
        // A transcript line of megabytes helps nobody: the header and the first bytes suffice.
        constexpr std::size_t kShown = 256;
        connection_line(*connection, "-> BINARY id=" + word(1) + " len=" + word(2) + " pieces=" +
                                         std::to_string(pieces) + " " +
                                         escape(payload.substr(0, kShown)));
    } else if (name == ":raw") {
        std::string hex;
        for (std::size_t i = 1; i < words.size(); ++i) {
            hex += words[i];
        }
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            if (hex_value(hex[i]) < 0 || hex_value(hex[i + 1]) < 0) {
                break;
            }
            bytes.push_back(static_cast<char>(hex_value(hex[i]) * 16 + hex_value(hex[i + 1])));
        }
        if (bytes.empty() || bytes.size() * 2 != hex.size()) {
            report("error: expected :raw HEX (pairs of hexadecimal digits)");
            failed_ = true;
            return;
        }
        if (const auto connection = target("")) {
            if (Status sent = server_->send(*connection, bytes); !sent) {
                report("error: " + sent.error().message_text());
                failed_ = true;
                return;
            }
            connection_line(*connection, "-> RAW " + escape(bytes));
        }
    } else if (name == ":wait") {
        const auto seconds = words.size() > 2 ? number<unsigned>(word(2))
                                              : std::optional<unsigned>(kDefaultWait.count());
        if (!seconds || (word(1) != "connection" && word(1) != "reply")) {
            report("error: expected :wait connection|reply [SECONDS]");
            failed_ = true;
            return;
        }
        const auto limit = std::chrono::seconds(*seconds);
        if (word(1) == "connection") {
            if (current_connection() == 0) {
                hold_ = Hold{Hold::Kind::connection, 0, 0, Clock::now() + limit};
            }
        } else if (const auto connection = target("")) {
            hold_for_reply(*connection, limit);
        }
    } else if (name == ":pause") {
        const auto millis = number<unsigned>(word(1));
        if (!millis) {
            report("error: expected :pause MILLISECONDS");
            failed_ = true;
            return;
        }
        hold_ = Hold{Hold::Kind::pause, 0, 0, Clock::now() + std::chrono::milliseconds(*millis)};
    } else if (name == ":stall") {
        const bool with_id = words.size() > 2;
        const std::string flag = word(with_id ? 2 : 1);
        if (flag != "on" && flag != "off") {
            report("error: expected :stall [N] on|off");
            failed_ = true;
            return;
        }
        if (const auto id = target(with_id ? word(1) : std::string())) {
            if (Status stalled = server_->stall(*id, flag == "on"); !stalled) {
                report("error: " + stalled.error().message_text());
                failed_ = true;
            }
        }
    } else if (name == ":lockstep") {
        if (word(1) != "on" && word(1) != "off") {
            report("error: expected :lockstep on|off");
            failed_ = true;
            return;
        }
        lockstep_ = word(1) == "on";
    } else if (name == ":bench") {
        const auto count = number<int>(word(1));
        const std::size_t rest = line.find(' ', line.find_first_not_of(' ', 6));
        if (!count || *count <= 0 || rest == std::string::npos ||
            line.find_first_not_of(' ', rest) == std::string::npos) {
            report("error: expected :bench COUNT LINE");
            failed_ = true;
            return;
        }
        start_bench(*count, line.substr(line.find_first_not_of(' ', rest)));
    } else {
        report("error: unknown command (:help lists them): " + escape(name));
        failed_ = true;
    }
}

void Console::start_bench(int count, const std::string& line) {
    const auto connection = target("");
    if (!connection) {
        return;
    }
    if (line.front() != '#' && line.front() != '>' && line.front() != '<') {
        report("error: a bench sends a frame line (#, > or < form)");
        failed_ = true;
        return;
    }
    const auto outgoing = parse_frame_line(line);
    if (!outgoing) {
        return;
    }
    bench_ = Bench{};
    bench_->connection = *connection;
    bench_->frame = outgoing->bytes;
    bench_->description = outgoing->description;
    bench_->count = count;
    bench_->round_trip_ms.reserve(count);
    bench_->first_byte_ms.reserve(count);
    bench_next();
}

void Console::bench_next() {
    if (bench_->sent == bench_->count) {
        finish_bench("");
        return;
    }
    bench_->sent_at = Clock::now();
    bench_->deadline = bench_->sent_at + kReplyLimit;
    if (Status sent = server_->send(bench_->connection, bench_->frame); !sent) {
        finish_bench(sent.error().message_text());
        return;
    }
    ++bench_->sent;
    connection_line(bench_->connection, "-> " + bench_->description);
}

void Console::finish_bench(const std::string& failure) {
    Bench bench = std::move(*bench_);
    bench_.reset();
    const std::size_t replies = bench.round_trip_ms.size();
    report("bench count=" + std::to_string(bench.count) + " replies=" + std::to_string(replies) +
           statistics("", bench.round_trip_ms) + statistics("first_byte_", bench.first_byte_ms));
    if (!failure.empty()) {
        report("bench failed after " + std::to_string(replies) + " replies: " + failure);
        failed_ = true;
    }
}

}  // namespace voxapp::sim
