#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "server/null_connection.hpp"
#include "server/remote_link_handler.hpp"

namespace voxapp::test {

struct LinkCall {
    enum class Kind { unsolicited, command, begin, chunk, end, started };
    Kind kind;
    std::uint16_t request_id = 0;
    std::string data;

    friend bool operator==(const LinkCall&, const LinkCall&) = default;
    friend std::ostream& operator<<(std::ostream& out, const LinkCall& call) {
        static const char* const names[] = {"unsolicited", "command", "begin",
                                            "chunk",       "end",     "started"};
        return out << names[static_cast<int>(call.kind)] << "(" << call.request_id << ", \""
                   << call.data << "\")";
    }
};

inline LinkCall command_call(std::uint16_t id, std::string text) {
    return {LinkCall::Kind::command, id, std::move(text)};
}
inline LinkCall begin_call(std::uint16_t id, std::string data) {
    return {LinkCall::Kind::begin, id, std::move(data)};
}
inline LinkCall chunk_call(std::string data) {
    return {LinkCall::Kind::chunk, 0, std::move(data)};
}
inline LinkCall end_call(std::string data) {
    return {LinkCall::Kind::end, 0, std::move(data)};
}

// Keeps a copy of every call. It also checks what the parser promises about its arguments: the
// connection is the expected one, a command carries no expiry, and every pointer lies inside
// the buffer being parsed (`buffer`, when set).
class RecordingLinkHandler : public RemoteLinkHandler {
public:
    explicit RecordingLinkHandler(RemoteConnection& connection) : connection_(connection) {}

    void on_unsolicited(RemoteConnection& connection, const char* text,
                        std::size_t length) override {
        record(connection, {LinkCall::Kind::unsolicited, 0, {}}, text, length);
    }
    void on_command(RemoteConnection& connection, std::uint16_t request_id, const char* text,
                    std::size_t length, CommandExpiry expiry) override {
        if (expiry) {
            violations.push_back("command with an expiry");
        }
        record(connection, {LinkCall::Kind::command, request_id, {}}, text, length);
    }
    void on_binary_begin(RemoteConnection& connection, std::uint16_t request_id, const char* data,
                         std::size_t length) override {
        record(connection, {LinkCall::Kind::begin, request_id, {}}, data, length);
    }
    void on_binary_chunk(RemoteConnection& connection, const char* data,
                         std::size_t length) override {
        record(connection, {LinkCall::Kind::chunk, 0, {}}, data, length);
    }
    void on_binary_end(RemoteConnection& connection, const char* data,
                       std::size_t length) override {
        record(connection, {LinkCall::Kind::end, 0, {}}, data, length);
    }
    void on_started(RemoteConnection& connection) override {
        record(connection, {LinkCall::Kind::started, 0, {}}, nullptr, 0);
    }

    // The calls with the pieces of each streamed payload joined into one chunk call, so that
    // the result does not depend on how the bytes were split into reads.
    std::vector<LinkCall> joined_calls() const {
        std::vector<LinkCall> joined;
        for (const LinkCall& call : calls) {
            const bool piece =
                call.kind == LinkCall::Kind::chunk || call.kind == LinkCall::Kind::end;
            if (piece && !joined.empty() && joined.back().kind == LinkCall::Kind::chunk) {
                joined.back().data += call.data;
            } else {
                joined.push_back(call);
                if (piece) {
                    joined.back().kind = LinkCall::Kind::chunk;
                }
            }
            if (call.kind == LinkCall::Kind::end) {
                joined.push_back(end_call(""));
            }
        }
        return joined;
    }

    const std::string* buffer = nullptr;
    std::vector<LinkCall> calls;
    std::vector<std::string> violations;
    // Where each call's pointer was, as an offset into *buffer.
    std::vector<std::size_t> offsets;

private:
    void record(RemoteConnection& connection, LinkCall call, const char* data, std::size_t length) {
        if (&connection != &connection_) {
            violations.push_back("wrong connection");
        }
        if (buffer != nullptr && data != nullptr) {
            const char* begin = buffer->data();
            if (data < begin || data + length > begin + buffer->size()) {
                violations.push_back("pointer outside the buffer");
            }
            offsets.push_back(static_cast<std::size_t>(data - begin));
        }
        call.data.assign(data == nullptr ? "" : data, length);
        calls.push_back(std::move(call));
    }

    RemoteConnection& connection_;
};

}  // namespace voxapp::test
