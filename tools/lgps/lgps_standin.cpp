// A stand-in for the router vendor's GPS library on PCs and in the cross build's tests: lgps_get
// asks the simulated GPS service (voxapp-gps-sim) on the caller's bus for its position, so the
// daemon goes the router's way, through a real ubusd, to its fix.
//
// On the bus: object "gps", method "position" (no arguments), reply fields longitude, latitude,
// altitude, course, speed, accuracy (double), satellites, fix_type (int32), timestamp (int64).

#include <libubus.h>

#include <cstring>

#include "lgps_protocol.hpp"
#include "platform/lgps.h"

namespace {

struct Reply {
    bool received = false;
    lgps_data* data = nullptr;
};

void on_reply(ubus_request* request, int /*type*/, blob_attr* message) {
    auto* reply = static_cast<Reply*>(request->priv);
    blob_attr* fields[voxapp::lgps::kFieldCount] = {};
    if (message == nullptr || blobmsg_parse(voxapp::lgps::kPolicy, voxapp::lgps::kFieldCount,
                                            fields, blob_data(message), blob_len(message)) != 0) {
        return;
    }
    for (const blob_attr* field : fields) {
        if (field == nullptr) {
            return;
        }
    }
    lgps_data& data = *reply->data;
    using voxapp::lgps::Field;
    data.longitude = blobmsg_get_double(fields[Field::longitude]);
    data.latitude = blobmsg_get_double(fields[Field::latitude]);
    data.altitude = blobmsg_get_double(fields[Field::altitude]);
    data.course = blobmsg_get_double(fields[Field::course]);
    data.speed = blobmsg_get_double(fields[Field::speed]);
    data.accuracy = blobmsg_get_double(fields[Field::accuracy]);
    data.satellites = static_cast<int32_t>(blobmsg_get_u32(fields[Field::satellites]));
    data.fix_type = static_cast<int32_t>(blobmsg_get_u32(fields[Field::fix_type]));
    data.timestamp = static_cast<int64_t>(blobmsg_get_u64(fields[Field::timestamp]));
    reply->received = true;
}

// Statuses that come from the GPS service or from ubusd's object table: the bus works, the
// GPS side failed. Everything else (a closed socket shows up as an invalid argument or a
// connection failure, a hung peer as a timeout) means the bus cannot be used.
bool is_bus_failure(int status) {
    switch (status) {
        case UBUS_STATUS_NOT_FOUND:
        case UBUS_STATUS_METHOD_NOT_FOUND:
        case UBUS_STATUS_NO_DATA:
        case UBUS_STATUS_UNKNOWN_ERROR:
        case UBUS_STATUS_NOT_SUPPORTED:
            return false;
        default:
            return true;
    }
}

}  // namespace

extern "C" int lgps_get(struct ubus_context* ctx, struct lgps_data* data) {
    if (ctx == nullptr || data == nullptr || ctx->sock.eof) {
        return LGPS_ERR_UBUS;
    }
    std::memset(data, 0, sizeof *data);
    uint32_t id = 0;
    int status = ubus_lookup_id(ctx, voxapp::lgps::kObject, &id);
    if (status != UBUS_STATUS_OK) {
        return is_bus_failure(status) ? LGPS_ERR_UBUS : LGPS_ERR_LIB;
    }
    blob_buf request{};
    blob_buf_init(&request, 0);
    Reply reply{false, data};
    status = ubus_invoke(ctx, id, voxapp::lgps::kMethod, request.head, on_reply, &reply,
                         voxapp::lgps::kTimeoutMs);
    blob_buf_free(&request);
    if (status != UBUS_STATUS_OK) {
        return is_bus_failure(status) ? LGPS_ERR_UBUS : LGPS_ERR_LIB;
    }
    return reply.received ? LGPS_OK : LGPS_ERR_LIB;
}
