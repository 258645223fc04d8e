#pragma once

#include <string>

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
// time), the rest comes from the kernel's random source, read afresh for every id.
class RandomUuidGenerator final : public UuidGenerator {
public:
    // `random_source` defaults to "/dev/urandom" (below VOXAPP_ROOT when set).
    RandomUuidGenerator();
    explicit RandomUuidGenerator(std::string random_source);

    // Errors: an empty message with errno when the source cannot be opened; "Failed to read
    // random data" when one read yields fewer than 16 bytes.
    Result<Uuid> generate() override;

private:
    std::string random_source_;
};

}  // namespace voxapp
