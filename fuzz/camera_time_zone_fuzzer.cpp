// libFuzzer harness for the POSIX-TZ-to-camera conversion.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cameras/camera_time_zone.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view posix(reinterpret_cast<const char*>(data), size);
    const std::string camera = voxapp::camera_time_zone(posix);
    // Names shrink or become "CST"/"DST", a shift and two day numbers at most are added.
    if (camera.size() > posix.size() + 64 || (posix.empty() && !camera.empty())) {
        std::fprintf(stderr, "invariant violated: output of %zu bytes for %zu\n", camera.size(),
                     posix.size());
        std::abort();
    }
    return 0;
}
