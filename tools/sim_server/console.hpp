#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim_server/frame_codec.hpp"
#include "sim_server/monitoring_server.hpp"

namespace voxapp::sim {

// The simulator's line protocol, for a person at a terminal and for programs alike.
//
// Every output line starts with the UTC time "HH:MM:SS.mmm" and a blank, then either "sim " and
// a report, or "[N] " (the connection) and one of:
//   connected ADDRESS:PORT
//   established PROTOCOL
//   -> KIND [id=I] [len=L] [pieces=P] TEXT      a frame sent to the device
//   <- KIND [id=I] [len=L] [partial] TEXT       a frame the device sent
//   closed WHY                                  "by the device (close_notify)", "by the
//                                               simulator (reset)", "(link failed: ...)", ...
// KIND is PLAIN, ASCII, BINARY or RAW. In TEXT a backslash and every byte outside printable
// ASCII are written as "\\" and "\xHH"; a text longer than 512 bytes is cut, followed by
// "... (N bytes)".
//
// Input lines (a "\xHH" or "\\" in TEXT stands for that byte):
//   #TEXT                 send TEXT as a PLAIN frame
//   >ID TEXT              send TEXT as an ASCII frame with request id ID (0-65535)
//   <ID TEXT              send TEXT as the payload of a BINARY frame
//   @N LINE               send on connection N instead of the current one (the newest
//                         established one unless ":use" chose another)
//   :use N | :list | :drop [N] | :reset [N]
//   :long ID LEN [PIECE [PAUSE_MS]]   a streamed BINARY frame of LEN payload bytes ("#9,1,LEN,"
//                         then filler), sent in PIECE-byte pieces PAUSE_MS apart
//   :raw HEX              send bytes unframed
//   :wait connection [S]  hold further input until a connection is established (S seconds,
//                         default 30)
//   :wait reply [S]       hold further input until the current connection sends a frame
//   :pause MS             hold further input for MS milliseconds
//   :lockstep on|off      after each frame sent, hold input until the reply (10 s at most)
//   :bench COUNT LINE     COUNT round trips of the frame LINE (#, > or < form), each sent when
//                         the reply to the one before has come; prints their statistics
//   :help | :quit
// A hold that runs out prints "sim timeout ..." and makes the exit status 1; so does a bench
// that fails. The end of the input ends the simulator once held lines are done.
class Console final : public ServerListener {
public:
    // Output lines go to `out` whole, and to `log` too when it is >= 0.
    Console(int out, int log);

    void attach(MonitoringServer& server) { server_ = &server; }

    // Reports in the output format above.
    void report(std::string_view text);

    void on_input(std::string_view bytes);
    void on_input_end();
    // Runs queued input lines until one holds, and ends holds that ran out of time.
    void tick();
    std::optional<Clock::time_point> next_deadline() const;

    bool finished() const { return finished_; }
    int exit_status() const { return failed_ ? 1 : 0; }
    bool wants_input() const { return !input_ended_ && !finished_; }

    void on_connected(int connection, const std::string& peer) override;
    void on_established(int connection, const std::string& protocol) override;
    void on_received(int connection, const Frame& frame) override;
    void on_closed(int connection, const std::string& why) override;

private:
    struct Hold {
        enum class Kind { connection, reply, pause } kind;
        int connection = 0;
        std::size_t frames_before = 0;
        Clock::time_point deadline;
    };
    struct Bench {
        int connection = 0;
        std::string frame;
        std::string description;
        int count = 0;
        int sent = 0;
        Clock::time_point sent_at;
        Clock::time_point deadline;
        std::vector<double> round_trip_ms;
        std::vector<double> first_byte_ms;
    };
    // A frame to send, as the input line asked for it.
    struct Outgoing {
        std::string bytes;
        std::string description;  // the "-> ..." part of the output line
    };

    void run_line(const std::string& line);
    void run_directive(const std::string& line);
    void send_frame_line(int connection, const std::string& line);
    std::optional<Outgoing> parse_frame_line(const std::string& line);
    std::optional<int> target(const std::string& word);
    int current_connection() const;
    void hold_for_reply(int connection, std::chrono::milliseconds limit);
    void start_bench(int count, const std::string& line);
    void bench_next();
    void finish_bench(const std::string& failure);
    void connection_line(int connection, const std::string& text);
    void write_line(const std::string& line);
    void print_help();

    int out_;
    int log_;
    MonitoringServer* server_ = nullptr;

    std::string partial_input_;
    std::deque<std::string> lines_;
    bool input_ended_ = false;
    bool finished_ = false;
    bool failed_ = false;
    bool ticking_ = false;

    std::optional<Hold> hold_;
    std::optional<Bench> bench_;
    bool lockstep_ = false;
    std::optional<int> chosen_;     // set by ":use"
    std::vector<int> established_;  // in order of establishment
    std::map<int, std::size_t> frames_received_;
};

}  // namespace voxapp::sim
