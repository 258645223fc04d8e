// libFuzzer harness for the recording journal read back after a restart: whatever a torn write,
// a full flash or a stray editor left in the file, reading it must fail cleanly or give entries
// that write back to a journal reading the same.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "recordings/recording_journal.hpp"

namespace {

void check_journal(std::string_view text) {
    auto contents = voxapp::parse_recording_journal(text);
    if (!contents) {
        check(!contents.error().message().empty(), "refusal without a reason");
        return;
    }
    const std::string written = voxapp::format_recording_journal(*contents);
    auto again = voxapp::parse_recording_journal(written);
    check(again.ok(), "a written journal does not read back");
    check(voxapp::format_recording_journal(*again) == written, "entries changed on the way back");
    for (const auto& item : again->uploads) {
        check(!item.request.local_path.empty() && !item.request.remote_name.empty(),
              "upload without its file names");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    check_journal(text);
    // The input again as the lines of a journal with a matching closing line, so that the
    // fields themselves are read and not only refused for a wrong hash.
    if (!text.empty() && text.back() == '\n') {
        const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        check_journal(voxapp::sealed_recording_journal(text, lines >= 2 ? lines - 2 : 0));
    }
    return 0;
}
