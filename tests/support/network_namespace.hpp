#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/result.hpp"

namespace voxapp::test {

// Moves the calling thread into a network namespace of its own in which only `lo` exists, up.
// Processes started from this thread afterwards inherit it, so a daemon and its simulated peers
// reach each other on 127.0.0.1 and nothing else; the machine's own network is neither reached
// nor disturbed. Needs CAP_SYS_ADMIN; without it, unprivileged user namespaces are tried (only
// possible while the process has a single thread).
Status enter_private_network();

// Whether a test that cannot isolate itself must fail instead of being skipped: in CI (the
// environment variable CI is set).
inline bool isolation_is_required() {
    return std::getenv("CI") != nullptr;
}

}  // namespace voxapp::test

// In a test body or SetUp: enters a private network namespace, or else skips the test saying
// why — or fails it when isolation_is_required().
#define VOXAPP_ENTER_PRIVATE_NETWORK()                                             \
    do {                                                                           \
        const ::voxapp::Status entered_ = ::voxapp::test::enter_private_network(); \
        if (!entered_) {                                                           \
            if (::voxapp::test::isolation_is_required()) {                         \
                FAIL() << "cannot make a private network namespace (CI is set): "  \
                       << entered_.error().message();                              \
            }                                                                      \
            GTEST_SKIP() << "needs a private network namespace (run as root): "    \
                         << entered_.error().message();                            \
        }                                                                          \
    } while (false)
