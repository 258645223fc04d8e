#pragma once

#include "core/result.hpp"
#include "core/uuid.hpp"

namespace voxapp {

// Fresh camera and probe ids. One instance serves the whole process.
class UuidGenerator {
public:
    virtual ~UuidGenerator() = default;
    virtual Result<Uuid> generate() = 0;
};

// Version-7 ids: the first 48 bits are the milliseconds since the epoch (so ids sort by creation
// time), the rest comes from the kernel's random generator (getrandom(2): no file to open, so a
// relocated root needs no device node).
class RandomUuidGenerator final : public UuidGenerator {
public:
    // Never blocks. Errors: an empty message with errno when the kernel call fails (EAGAIN
    // while its generator is not ready early in a boot); "Failed to read random data" when it
    // yields fewer than 16 bytes.
    Result<Uuid> generate() override;
};

}  // namespace voxapp
