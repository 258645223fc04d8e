#pragma once

#include <chrono>
#include <cstdint>

namespace voxapp {

// Every wait and time limit of a server connection. The defaults are the production values;
// tests shorten them. Limits marked "whole seconds" are compared as whole counts of `second`
// (each time point is cut down to whole seconds before subtracting), so a test that shortens
// `second` shortens those limits and the idle timeout with it, and the rule stays the same.
struct TlsConnectionTiming {
    std::chrono::nanoseconds second = std::chrono::seconds(1);
    // Between a failed connect and the next attempt.
    std::chrono::nanoseconds reconnect_pause = std::chrono::seconds(5);
    // A handshake is abandoned once this many whole seconds have passed since it began.
    std::uint32_t handshake_limit_seconds = 60;
    // Longest wait between two handshake steps.
    std::chrono::nanoseconds handshake_retry = std::chrono::milliseconds(50);
    // Between two attempts of a send that could not go out whole.
    std::chrono::nanoseconds send_retry_pause = std::chrono::seconds(1);
    // Writes failing for more than this many whole seconds close the link.
    std::uint32_t write_failure_limit_seconds = 60;
    // Longest wait for received bytes when the last pass found none, and while data flows.
    std::chrono::nanoseconds idle_wait = std::chrono::seconds(1);
    std::chrono::nanoseconds busy_wait = std::chrono::milliseconds(10);

    // The first time point at which whole_seconds(from, ...) exceeds `limit`.
    std::chrono::steady_clock::time_point after_whole_seconds(
        std::chrono::steady_clock::time_point from, std::int64_t limit) const {
        const auto start = from.time_since_epoch() / second;
        return std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>((start + limit + 1) *
                                                                            second));
    }

    // Whole seconds from `from` to `to`, each cut down to whole seconds first.
    std::int64_t whole_seconds(std::chrono::steady_clock::time_point from,
                               std::chrono::steady_clock::time_point to) const {
        const auto in_seconds = [this](std::chrono::steady_clock::time_point time) {
            return time.time_since_epoch() / second;
        };
        return in_seconds(to) - in_seconds(from);
    }
};

}  // namespace voxapp
