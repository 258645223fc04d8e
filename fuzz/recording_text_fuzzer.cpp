// libFuzzer harness for what the recording transfer reads from outside: the FTP server's size
// answer and the camera's playback URL (masked for the log).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "recordings/content_length.hpp"
#include "recordings/open_rtsp_recording_downloader.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (voxapp::parse_content_length(text) != 0) {
        check(text.find("Content-Length:") != std::string::npos, "size without its header");
    }
    // The password sits between the first ':' after "://" and the last '@'; none of it may
    // survive the masking.
    const std::string masked = voxapp::OpenRtspRecordingDownloader::masked_url(text);
    const std::size_t scheme = text.find("://");
    const std::size_t at = text.rfind('@');
    if (scheme != std::string::npos && at != std::string::npos && at > scheme + 3) {
        const std::size_t colon = text.find(':', scheme + 3);
        if (colon < at) {
            check(masked == text.substr(0, colon + 1) + "****" + text.substr(at),
                  "password left in the masked URL");
        }
    }
    return 0;
}
