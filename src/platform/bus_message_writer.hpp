#pragma once

#include <cstdint>
#include <string_view>

namespace voxapp {

// Builds one message of the system bus (a reply or an event's data): a table of named fields,
// with nested tables and arrays. Names are ignored inside arrays. Every open is closed by its
// matching close, innermost first. Not thread-safe: one writer per message.
class BusMessageWriter {
public:
    virtual ~BusMessageWriter() = default;

    virtual void open_table(std::string_view name) = 0;
    virtual void close_table() = 0;
    virtual void open_array(std::string_view name) = 0;
    virtual void close_array() = 0;
    virtual void add_string(std::string_view name, std::string_view value) = 0;
    virtual void add_int(std::string_view name, std::int64_t value) = 0;
    virtual void add_bool(std::string_view name, bool value) = 0;
};

}  // namespace voxapp
