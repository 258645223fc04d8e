#pragma once

#include <utility>

#include "core/result.hpp"

namespace voxapp {

// A core service could not be created: the daemon cannot run without it. Writes
// "FATAL: <name> init failed with errno <code>" (or, when the code is 0,
// "FATAL: <name> init failed: <message>") to standard error and aborts.
[[noreturn]] void abort_on_creation_failure(const char* name, const Error& error);

// The value of a service factory's result, or the fatal report above.
template <typename T>
T require(Result<T>&& result, const char* name) {
    if (!result) {
        abort_on_creation_failure(name, result.error());
    }
    return std::move(result).value();
}

}  // namespace voxapp
