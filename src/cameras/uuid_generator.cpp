#include "cameras/uuid_generator.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

#include "core/time_point.hpp"

namespace voxapp {

Result<Uuid> RandomUuidGenerator::generate() {
    // The time is taken before the random bytes so that a slow read cannot reorder two ids.
    const std::uint64_t millis = static_cast<std::uint64_t>(system_now() / 1'000'000);
    Uuid::Octets octets{};
    ssize_t got = -1;
    do {
        // Early in a boot the kernel's generator may not be ready yet; the caller retries later
        // rather than have the event loop wait for it.
        got = getrandom(octets.data(), octets.size(), GRND_NONBLOCK);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return Error::from_errno(errno);
    }
    if (got != static_cast<ssize_t>(octets.size())) {
        return Error::fixed("Failed to read random data");
    }
    for (int i = 0; i < 6; ++i) {
        octets[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(millis >> (8 * (5 - i)) & 0xFF);
    }
    octets[6] = static_cast<std::uint8_t>(0x70 | (octets[6] & 0x0F));
    octets[8] = static_cast<std::uint8_t>(0x80 | (octets[8] & 0x3F));
    return Uuid(octets);
}

}  // namespace voxapp
