#include "platform/blob_message_writer.hpp"

#if VOXAPP_HAVE_LIBUBUS

extern "C" {
#include <libubox/blobmsg.h>
}

namespace voxapp {

const char* BlobMessageWriter::terminated(std::string_view name) {
    name_.assign(name);
    return name_.c_str();
}

void BlobMessageWriter::open_table(std::string_view name) {
    open_.push_back(blobmsg_open_table(&buffer_, terminated(name)));
}

void BlobMessageWriter::close_table() {
    if (!open_.empty()) {
        blobmsg_close_table(&buffer_, open_.back());
        open_.pop_back();
    }
}

void BlobMessageWriter::open_array(std::string_view name) {
    open_.push_back(blobmsg_open_array(&buffer_, terminated(name)));
}

void BlobMessageWriter::close_array() {
    if (!open_.empty()) {
        blobmsg_close_array(&buffer_, open_.back());
        open_.pop_back();
    }
}

void BlobMessageWriter::add_string(std::string_view name, std::string_view value) {
    // An embedded NUL would end the string early on the bus; nothing after it is lost silently
    // because the writer keeps the bytes up to it, like any C reader would.
    const std::string text(value);
    blobmsg_add_string(&buffer_, terminated(name), text.c_str());
}

void BlobMessageWriter::add_int(std::string_view name, std::int64_t value) {
    blobmsg_add_u64(&buffer_, terminated(name), static_cast<std::uint64_t>(value));
}

void BlobMessageWriter::add_bool(std::string_view name, bool value) {
    blobmsg_add_u8(&buffer_, terminated(name), value ? 1 : 0);
}

}  // namespace voxapp

#endif
