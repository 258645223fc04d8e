// libFuzzer harness for what an instrument sends: the hello reply collector and parser, and the
// reply assembler fed in reads of fuzzer-chosen sizes.
//
// Input: byte 0 picks the expected group, byte 1 the device class; the rest is the line's
// bytes, cut into reads at every 0xFE byte (which is dropped).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "instruments/instrument_greeting.hpp"
#include "instruments/instrument_reply_assembler.hpp"
#include "fuzz_check.hpp"

namespace {

class NullLogger : public voxapp::Logger {
public:
    void log(std::string_view, voxapp::LogLevel) override {}
    void debug(std::string_view) override {}
    void info(std::string_view) override {}
    void warning(std::string_view) override {}
    void error(std::string_view) override {}
    void critical(std::string_view) override {}
    void data(std::string_view) override {}
    void data_full(std::string_view) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    static constexpr char kGroups[] = {'1', '3', '4', '7', '9', 'D', 'R'};
    const char group = kGroups[data[0] % sizeof kGroups];
    const auto device_class = static_cast<std::uint8_t>(data[1] % 13);
    const std::string_view line(reinterpret_cast<const char*>(data) + 2, size - 2);

    NullLogger logger;
    voxapp::InstrumentReplyAssembler assembler(device_class);
    assembler.begin(group, group == '7' ? "GP" : "");
    voxapp::HelloReplyCollector hello;
    std::size_t start = 0;
    while (start <= line.size()) {
        std::size_t cut = line.find('\xfe', start);
        if (cut == std::string_view::npos) {
            cut = line.size();
        }
        const std::string_view read = line.substr(start, cut - start);
        start = cut + 1;
        if (auto reply = assembler.feed(read, logger)) {
            check(!reply->empty() && (*reply)[0] == '#', "a reply that does not start with '#'");
            check(reply->size() <= read.size() + line.size(), "a reply larger than the input");
            assembler.begin(group, "");
        }
        check(assembler.leftover().size() <= voxapp::InstrumentReplyAssembler::kMaxBuffer,
              "leftover beyond its bound");
        if (auto reply = hello.append(read)) {
            (void)voxapp::parse_hello_reply(*reply);
        }
        check(hello.buffer().size() <= voxapp::HelloReplyCollector::kMaxBytes,
              "hello buffer beyond its bound");
    }
    (void)voxapp::parse_hello_reply(line);
    return 0;
}
