#include "cameras/uuid_generator.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "core/system_paths.hpp"
#include "core/time_point.hpp"

namespace voxapp {

RandomUuidGenerator::RandomUuidGenerator() : random_source_(system_path("/dev/urandom")) {}

RandomUuidGenerator::RandomUuidGenerator(std::string random_source)
    : random_source_(std::move(random_source)) {}

Result<Uuid> RandomUuidGenerator::generate() {
    // The time is taken before the read so that a slow read cannot reorder two ids.
    const std::uint64_t millis = static_cast<std::uint64_t>(system_now() / 1'000'000);
    const int fd = open(random_source_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    Uuid::Octets octets{};
    const ssize_t got = read(fd, octets.data(), octets.size());
    close(fd);
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
