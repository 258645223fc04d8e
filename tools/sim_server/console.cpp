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
#include "sim_server/console_text.hpp"

namespace voxapp::sim {

using namespace console_text;

namespace {
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

}  // namespace voxapp::sim
