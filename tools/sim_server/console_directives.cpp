#include <unistd.h>

#include <cerrno>
#include <string>

#include "sim_server/console.hpp"
#include "sim_server/console_text.hpp"

namespace voxapp::sim {

using namespace console_text;

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
        connection_line(*connection, "-> BINARY id=" + word(1) + " len=" + word(2) +
                                         " pieces=" + std::to_string(pieces) + " " +
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
