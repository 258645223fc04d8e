#pragma once

#if VOXAPP_HAVE_LIBUBUS

#include <string>
#include <vector>

#include "platform/bus_message_writer.hpp"

struct blob_buf;

namespace voxapp {

// A BusMessageWriter into a libubox blob buffer (blobmsg): the form ubus carries. The buffer is
// the caller's and must have been initialised with blob_buf_init.
class BlobMessageWriter final : public BusMessageWriter {
public:
    explicit BlobMessageWriter(blob_buf& buffer) : buffer_(buffer) {}

    void open_table(std::string_view name) override;
    void close_table() override;
    void open_array(std::string_view name) override;
    void close_array() override;
    void add_string(std::string_view name, std::string_view value) override;
    void add_int(std::string_view name, std::int64_t value) override;
    void add_bool(std::string_view name, bool value) override;

private:
    blob_buf& buffer_;
    // The cookies of the open tables and arrays, innermost last.
    std::vector<void*> open_;
    // blobmsg wants terminated names; reused for each field.
    std::string name_;
    const char* terminated(std::string_view name);
};

}  // namespace voxapp

#endif
