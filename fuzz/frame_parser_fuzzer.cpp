// libFuzzer harness for FrameParser: the input is a list of reads, each parsed as it arrives.
//
// Input format, repeated until the input ends (a truncated last read takes what is left):
//   op 0x00-0x7F: a read of the next (op + 1) input bytes
//   op 0x80-0xBF: a read of the next ((op & 0x3F) << 8 | next byte) + 1 input bytes
//   op 0xC0-0xFF: a read of (next two bytes, little-endian, | (op & 1) << 16) + 1 copies of
//                 the byte after them: long payloads and the buffer bound from small inputs.
// Reads past 256 KiB in all are dropped.
//
// Checked on every call and after every read, aborting on a violation: every pointer and length
// lies inside the buffer; a streamed transfer is begin, non-empty chunks, end, with nothing in
// between, and its pieces add up to the length in its header; the parser never grows the buffer
// and leaves more than the bound only after consuming something. When the whole stream fits
// within the bound, parsing it in one read must give the same calls (streamed pieces joined),
// the same leftover bytes and the same pending count. A reset link ends the stream: later reads
// are not parsed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "server/frame_parser.hpp"
#include "server/null_connection.hpp"
#include "fuzz_check.hpp"

namespace {

using voxapp::CommandExpiry;
using voxapp::FrameParser;
using voxapp::RemoteConnection;
using voxapp::Result;

using NullConnection = voxapp::test::NullConnection;

// Reads the first and the last byte of every logged text, so that the sanitizers see a view that
// starts or ends outside its buffer.
class TouchingLogger : public voxapp::Logger {
public:
    void log(std::string_view text, voxapp::LogLevel) override { touch(text); }
    void debug(std::string_view text) override { touch(text); }
    void info(std::string_view text) override { touch(text); }
    void warning(std::string_view text) override { touch(text); }
    void error(std::string_view text) override { touch(text); }
    void critical(std::string_view text) override { touch(text); }
    void data(std::string_view text) override { touch(text); }
    void data_full(std::string_view text) override { touch(text); }

    unsigned sum = 0;

private:
    void touch(std::string_view text) {
        if (!text.empty()) {
            sum +=
                static_cast<unsigned char>(text.front()) + static_cast<unsigned char>(text.back());
        }
    }
};

class CheckingHandler : public voxapp::RemoteLinkHandler {
public:
    // `digest`: keep a digest of the calls (costs a pass over every byte handed over).
    CheckingHandler(RemoteConnection& connection, bool digest)
        : connection_(connection), digest_(digest) {}

    void on_unsolicited(RemoteConnection&, const char*, std::size_t) override {
        check(false, "on_unsolicited called by the parser");
    }
    void on_command(RemoteConnection& connection, std::uint16_t id, const char* text,
                    std::size_t length, CommandExpiry expiry) override {
        check(&connection == &connection_, "wrong connection");
        check(!in_transfer_, "command inside a streamed transfer");
        check(!expiry, "command with an expiry");
        check_range(text, length);
        event('C', id, length);
        add(text, length);
    }
    void on_binary_begin(RemoteConnection& connection, std::uint16_t id, const char* data,
                         std::size_t length) override {
        check(&connection == &connection_, "wrong connection");
        check(!in_transfer_, "begin inside a streamed transfer");
        check_range(data, length);
        // The header sits right before the payload: '<' id length.
        check(data - buffer_->data() >= 7 && data[-7] == '<', "begin not after a BINARY header");
        const auto byte = [&](int at) {
            return static_cast<std::uint32_t>(static_cast<unsigned char>(data[at]));
        };
        check((byte(-6) | byte(-5) << 8) == id, "begin id differs from the header");
        expected_ = byte(-4) | byte(-3) << 8 | byte(-2) << 16 | byte(-1) << 24;
        check(expected_ > FrameParser::kMaxShortPayload, "short payload streamed");
        check(length <= expected_, "begin longer than the payload");
        received_ = length;
        in_transfer_ = true;
        event('B', id, length);
        add(data, length);
    }
    void on_binary_chunk(RemoteConnection& connection, const char* data,
                         std::size_t length) override {
        check(&connection == &connection_, "wrong connection");
        check(in_transfer_, "chunk outside a streamed transfer");
        check(length > 0, "empty chunk");
        check_range(data, length);
        received_ += length;
        check(received_ < expected_, "chunks reach the payload length before the end");
        add(data, length);
    }
    void on_binary_end(RemoteConnection& connection, const char* data,
                       std::size_t length) override {
        check(&connection == &connection_, "wrong connection");
        check(in_transfer_, "end outside a streamed transfer");
        check_range(data, length);
        received_ += length;
        check(received_ == expected_, "streamed pieces do not add up to the payload length");
        add(data, length);
        event('E', 0, 0);
        in_transfer_ = false;
    }
    void on_started(RemoteConnection&) override { check(false, "on_started called by the parser"); }

    void set_buffer(const std::string* buffer) { buffer_ = buffer; }
    // Payload bytes of the transfer in progress still to come.
    std::uint64_t outstanding() const { return in_transfer_ ? expected_ - received_ : 0; }
    std::uint64_t digest() const { return hash_; }

private:
    void check_range(const char* data, std::size_t length) const {
        const char* begin = buffer_->data();
        check(data != nullptr, "null pointer");
        check(data >= begin && data <= begin + buffer_->size(), "pointer outside the buffer");
        check(length <= static_cast<std::size_t>(begin + buffer_->size() - data),
              "length past the end of the buffer");
    }
    // A digest of the calls that does not depend on how streamed pieces were split: the pieces'
    // bytes are hashed as one run.
    void event(char kind, std::uint16_t id, std::size_t length) {
        const char record[] = {kind, static_cast<char>(id), static_cast<char>(id >> 8)};
        add(record, sizeof record);
        const std::uint64_t size = kind == 'C' || kind == 'B' ? length : 0;
        add(reinterpret_cast<const char*>(&size), sizeof size);
    }
    void add(const char* data, std::size_t length) {
        if (!digest_) {
            return;
        }
        for (std::size_t i = 0; i < length; ++i) {
            hash_ = (hash_ ^ static_cast<unsigned char>(data[i])) * 0x100000001b3ULL;
        }
    }

    RemoteConnection& connection_;
    const bool digest_;
    const std::string* buffer_ = nullptr;
    bool in_transfer_ = false;
    std::uint64_t expected_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

struct Run {
    NullConnection connection;
    CheckingHandler handler;
    TouchingLogger logger;
    FrameParser parser{connection};
    std::string buffer;
    bool reset = false;  // a frame declared more than the cap

    explicit Run(bool digest) : handler(connection, digest) {
        parser.set_handler(&handler);
        parser.set_logger(&logger);
        handler.set_buffer(&buffer);
    }

    void receive(std::string_view bytes) {
        if (reset) {
            return;  // the link is gone; what follows would come on another one
        }
        buffer += bytes;
        const std::size_t before = buffer.size();
        if (parser.parse(buffer) == FrameParser::Outcome::reset_link) {
            reset = true;
            check(buffer.empty(), "buffer kept after a link reset");
        }
        check(buffer.size() <= before, "parse grew the buffer");
        check(buffer.size() <= FrameParser::kMaxPendingBytes || buffer.size() < before,
              "buffer kept past the bound without consuming anything");
        check(handler.outstanding() == parser.pending_binary_bytes(),
              "pending count differs from the streamed bytes still due");
    }
};

// One read: bytes of the input, or `count` copies of `filler`.
struct Read {
    std::string_view bytes;
    std::size_t count = 0;
    char filler = '\0';

    std::size_t size() const { return count > 0 ? count : bytes.size(); }
    void append_to(std::string& out) const {
        if (count > 0) {
            out.append(count, filler);
        } else {
            out += bytes;
        }
    }
};

// Enough for a streamed payload and the buffer bound, several times over; more only slows the
// fuzzer down.
constexpr std::size_t kMaxStreamBytes = 1 << 18;

std::vector<Read> decode(std::string_view input) {
    std::vector<Read> reads;
    std::size_t at = 0;
    std::size_t total = 0;
    const auto next_byte = [&]() -> unsigned {
        return at < input.size() ? static_cast<unsigned char>(input[at++]) : 0u;
    };
    const auto take = [&](std::size_t count) {
        const std::string_view bytes = input.substr(at, count);
        at += bytes.size();
        return Read{bytes};
    };
    while (at < input.size() && total < kMaxStreamBytes) {
        const unsigned op = next_byte();
        Read read;
        if (op < 0x80) {
            read = take(op + 1);
        } else if (op < 0xC0) {
            read = take(((op & 0x3Fu) << 8 | next_byte()) + 1);
        } else {
            const unsigned low = next_byte();
            const unsigned count = (low | next_byte() << 8 | (op & 1u) << 16) + 1;
            read = Read{{},
                        std::min<std::size_t>(count, kMaxStreamBytes - total),
                        static_cast<char>(next_byte())};
        }
        total += read.size();
        reads.push_back(read);
    }
    return reads;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<Read> reads = decode({reinterpret_cast<const char*>(data), size});
    std::size_t total = 0;
    for (const Read& read : reads) {
        total += read.size();
    }
    // Within the bound, one read and many reads must agree; past it they need not.
    const bool comparable = total <= FrameParser::kMaxPendingBytes;

    Run split(comparable);
    std::string bytes;
    for (const Read& read : reads) {
        bytes.clear();
        read.append_to(bytes);
        split.receive(bytes);
    }
    if (comparable) {
        Run whole(true);
        bytes.clear();
        for (const Read& read : reads) {
            read.append_to(bytes);
        }
        whole.receive(bytes);
        check(whole.handler.digest() == split.handler.digest(),
              "one read and many reads give different calls");
        check(whole.buffer == split.buffer, "one read and many reads leave different bytes");
        check(whole.parser.pending_binary_bytes() == split.parser.pending_binary_bytes(),
              "one read and many reads leave different pending counts");
    }
    return 0;
}
