// libFuzzer harness for the recording journal read back after a restart: whatever a torn write,
// a full flash or a stray editor left in the file, reading it must fail cleanly or give entries
// that write back to a journal reading the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "recordings/recording_journal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto contents = voxapp::parse_recording_journal(text);
    if (!contents) {
        check(!contents.error().message().empty(), "refusal without a reason");
        return 0;
    }
    const std::string written = voxapp::format_recording_journal(*contents);
    auto again = voxapp::parse_recording_journal(written);
    check(again.ok(), "a written journal does not read back");
    check(voxapp::format_recording_journal(*again) == written, "entries changed on the way back");
    for (const auto& item : again->uploads) {
        check(!item.request.local_path.empty() && !item.request.remote_name.empty(),
              "upload without its file names");
    }
    return 0;
}
