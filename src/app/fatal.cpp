#include "app/fatal.hpp"

#include <cstdio>
#include <cstdlib>

namespace voxapp {

void abort_on_creation_failure(const char* name, const Error& error) {
    if (error.code() != 0) {
        std::fprintf(stderr, "FATAL: %s init failed with errno %d\n", name, error.code());
    } else {
        // Without an errno the message is the only clue; it still gets the FATAL mark and the
        // service's name, like every other failed creation.
        const auto message = error.message();
        std::fprintf(stderr, "FATAL: %s init failed: %.*s\n", name,
                     static_cast<int>(message.size()), message.data());
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace voxapp
