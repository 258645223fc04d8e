#pragma once

#include <cstdio>
#include <mutex>

#include "system/logging/sink.hpp"

namespace voxapp {

// Writes log lines to a stream (standard output in the daemon), flushed line by line.
class ConsoleSink : public Sink {
public:
    ConsoleSink(LoggingDepth depth, LogLevel min_level, std::FILE* out = stdout)
        : Sink(depth, min_level), out_(out) {}

protected:
    void write_line(std::string_view line) override;

private:
    std::mutex mutex_;
    std::FILE* out_;
};

}  // namespace voxapp
