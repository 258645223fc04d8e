#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "core/time_point.hpp"
#include "platform/gps_fix.hpp"
#include "platform/gps_receiver.hpp"

namespace voxapp {

// The "gps_test" tool mode: prints the router's position once a second, on the second, until
// SIGINT. Installs its own SIGINT handler (and restores the previous one on return), then
// connects through `connect`; when that fails it prints "Failed to connect to ubus." and goes
// on, every read then failing. Each second it prints either the position line or
// "An error occured while getting gps data: <message>". On SIGINT the handler prints
// "<UTC time> Interrupt (SIGINT) signal received - 2" and the loop ends. Returns 0.
// Output goes to `out`, whose descriptor the signal handler writes to directly.
int run_gps_test(
    std::function<Result<std::shared_ptr<GpsReceiver>>()> connect = connect_gps_receiver,
    std::FILE* out = stdout);

// The position line: local time "%Y-%m-%d %H:%M:%S" of `now`, then
// ".%03hd,%d,%.6f,%.6f,%.2f" with the milliseconds of `now`, the accuracy truncated, latitude,
// longitude and speed, and a line feed.
std::string gps_test_fix_line(TimePoint now, const GpsFix& fix);

// "%Y-%m-%d %H:%M:%S" (UTC) of `unix_seconds`, " Interrupt (SIGINT) signal received - ", the
// signal number and a line feed, written into `buffer`; returns the length. Async-signal-safe.
std::size_t format_interrupt_line(std::int64_t unix_seconds, int signal, char (&buffer)[96]);

}  // namespace voxapp
