// Throughput of FrameParser on a realistic byte stream, fed in reads of a given size the way
// the connection's worker loop does (append what was read, parse, repeat).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "server/frame_parser.hpp"
#include "server/null_connection.hpp"

namespace voxapp {
namespace {

using NullConnection = test::NullConnection;

// Touches what it is given, as a device link copying the command would.
class CountingHandler : public RemoteLinkHandler {
public:
    void on_unsolicited(RemoteConnection&, const char*, std::size_t) override {}
    void on_command(RemoteConnection&, std::uint16_t id, const char* text, std::size_t length,
                    CommandExpiry) override {
        bytes_ += length + id + static_cast<unsigned char>(text[length - 1]);
    }
    void on_binary_begin(RemoteConnection&, std::uint16_t, const char*,
                         std::size_t length) override {
        bytes_ += length;
    }
    void on_binary_chunk(RemoteConnection&, const char*, std::size_t length) override {
        bytes_ += length;
    }
    void on_binary_end(RemoteConnection&, const char*, std::size_t length) override {
        bytes_ += length;
    }
    void on_started(RemoteConnection&) override {}

    std::uint64_t bytes_ = 0;
};

// A logger that drops everything: the cost of composing the DATA lines.
class DiscardingLogger : public Logger {
public:
    void log(std::string_view, LogLevel) override {}
    void debug(std::string_view) override {}
    void info(std::string_view) override {}
    void warning(std::string_view) override {}
    void error(std::string_view) override {}
    void critical(std::string_view) override {}
    void data(std::string_view text) override { benchmark::DoNotOptimize(text.data()); }
    void data_full(std::string_view) override {}
};

void append_le(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i) & 0xFF);
    }
}

void append_frame(std::string& out, char kind, std::uint16_t id, std::string_view payload) {
    out += kind;
    append_le(out, id, 2);
    if (kind == '<') {
        append_le(out, static_cast<std::uint32_t>(payload.size()), 4);
    }
    out += payload;
}

enum class Mix { queries, commands, commands_and_uploads };

struct Stream {
    std::string bytes;
    std::uint64_t frames = 0;
};

// About 1 MiB of server traffic. Queries: ASCII queries of 3 to 12 bytes of text, one in ten
// PLAIN; the parser scans every byte of them. Commands: the same, with a SHORT BINARY write of
// about 110 to 2100 bytes as every fifth frame. With uploads: also a '#9' upload of 40 to 200 kB
// after every 200 commands (its header frame, then the raw data).
Stream make_stream(Mix mix) {
    static const std::string_view queries[] = {"#7,GP;",       "#1,U?,N?;",   "#7,TZ,0;",
                                               "#7,BS,-1,-1;", "#D,r,0,512;", "#4;",
                                               "#7,ST,?;",     "#9,1;",       "#1,SN?;"};
    std::mt19937 random(42);
    Stream result;
    std::string& stream = result.bytes;
    std::uint16_t id = 1;
    for (int count = 0; stream.size() < (1u << 20); ++count, ++id) {
        const unsigned kind = random() % 10;
        const std::string_view query = queries[random() % std::size(queries)];
        ++result.frames;
        if (kind >= 8 && mix != Mix::queries) {
            std::string payload = "#D,w,0,";
            payload += std::to_string(random() % 2000 + 100);
            payload += ';';
            payload.resize(payload.size() + random() % 2000 + 100, 'x');
            append_frame(stream, '<', id, payload);
        } else if (kind % 8 != 7) {
            append_frame(stream, '>', id, query);
        } else {
            stream += query;
        }
        if (mix == Mix::commands_and_uploads && count % 200 == 199) {
            ++result.frames;
            const std::uint32_t data = 40000 + random() % 160000;
            std::string header = "#9,1,";
            header += std::to_string(data);
            header += ',';
            stream += '<';
            append_le(stream, id, 2);
            append_le(stream, static_cast<std::uint32_t>(header.size()) + data, 4);
            stream += header;
            for (std::uint32_t i = 0; i < data; ++i) {
                stream += static_cast<char>(random());
            }
        }
    }
    return result;
}

void parse_stream(benchmark::State& state, Mix mix, bool with_logger) {
    const Stream made = make_stream(mix);
    const std::string& stream = made.bytes;
    const auto read_size = static_cast<std::size_t>(state.range(0));
    NullConnection connection;
    CountingHandler handler;
    DiscardingLogger logger;
    FrameParser parser(connection);
    parser.set_handler(&handler);
    parser.set_logger(with_logger ? &logger : nullptr);
    std::string buffer;
    buffer.reserve(FrameParser::kMaxPendingBytes + read_size);
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += read_size) {
            buffer.append(stream, at, read_size);
            parser.parse(buffer);
        }
    }
    if (!buffer.empty() || parser.pending_binary_bytes() != 0) {
        state.SkipWithError("stream not consumed whole");
    }
    benchmark::DoNotOptimize(handler.bytes_);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["frames"] = benchmark::Counter(
        static_cast<double>(state.iterations() * made.frames), benchmark::Counter::kIsRate);
}

void BM_Queries(benchmark::State& state) {
    parse_stream(state, Mix::queries, false);
}
void BM_Commands(benchmark::State& state) {
    parse_stream(state, Mix::commands, false);
}
void BM_CommandsAndUploads(benchmark::State& state) {
    parse_stream(state, Mix::commands_and_uploads, false);
}
void BM_CommandsWithDataLogging(benchmark::State& state) {
    parse_stream(state, Mix::commands, true);
}

// Read sizes: one TCP segment's payload, one full TLS record.
BENCHMARK(BM_Queries)->Arg(1460)->Arg(16384);
BENCHMARK(BM_Commands)->Arg(1460)->Arg(16384);
BENCHMARK(BM_CommandsAndUploads)->Arg(1460)->Arg(16384);
BENCHMARK(BM_CommandsWithDataLogging)->Arg(16384);

}  // namespace
}  // namespace voxapp
