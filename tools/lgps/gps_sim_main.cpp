// voxapp-gps-sim: the router's GPS service as the stand-in GPS library sees it, registered on a
// real ubusd. Each call answers from the fix file (gps_fix_file.hpp), read afresh.
//
//   voxapp-gps-sim --socket PATH --fix FILE
//
// Prints "ready" on standard output once the object is on the bus. Ends on SIGINT or SIGTERM,
// and when the bus goes away.

extern "C" {
#include <libubox/uloop.h>
}
#include <libubus.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "gps_fix_file.hpp"
#include "lgps_protocol.hpp"

namespace {

std::string fix_path;

int on_position(ubus_context* context, ubus_object* /*object*/, ubus_request_data* request,
                const char* /*method*/, blob_attr* /*message*/) {
    const voxapp::sim::GpsFixFile fix =
        voxapp::sim::read_gps_fix_file(fix_path, voxapp::system_now());
    if (fix.outcome == voxapp::sim::GpsFixFile::Outcome::invalid || fix.result != 0) {
        return UBUS_STATUS_UNKNOWN_ERROR;
    }
    // Without a file the receiver is up but has no fix: every field 0, timestamp 0.
    const voxapp::GpsRecord& record = fix.record;
    blob_buf reply{};
    blob_buf_init(&reply, 0);
    blobmsg_add_double(&reply, "longitude", record.longitude);
    blobmsg_add_double(&reply, "latitude", record.latitude);
    blobmsg_add_double(&reply, "altitude", record.altitude);
    blobmsg_add_double(&reply, "course", record.course);
    blobmsg_add_double(&reply, "speed", record.speed);
    blobmsg_add_double(&reply, "accuracy", record.accuracy);
    blobmsg_add_u32(&reply, "satellites", static_cast<uint32_t>(record.satellites));
    blobmsg_add_u32(&reply, "fix_type", static_cast<uint32_t>(record.fix_type));
    blobmsg_add_u64(&reply, "timestamp", static_cast<uint64_t>(record.timestamp));
    const int sent = ubus_send_reply(context, request, reply.head);
    blob_buf_free(&reply);
    return sent;
}

int usage() {
    std::fputs("usage: voxapp-gps-sim --socket PATH --fix FILE\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socket;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--socket") == 0) {
            socket = argv[i + 1];
        } else if (std::strcmp(argv[i], "--fix") == 0) {
            fix_path = argv[i + 1];
        } else {
            return usage();
        }
    }
    if (socket.empty() || fix_path.empty() || argc % 2 == 0) {
        return usage();
    }

    static ubus_method methods[1] = {};
    methods[0].name = voxapp::lgps::kMethod;
    methods[0].handler = on_position;
    static ubus_object_type type = {};
    type.name = voxapp::lgps::kObject;
    type.methods = methods;
    type.n_methods = 1;
    static ubus_object object = {};
    object.name = voxapp::lgps::kObject;
    object.type = &type;
    object.methods = methods;
    object.n_methods = 1;

    uloop_init();
    ubus_context* context = ubus_connect(socket.c_str());
    if (context == nullptr) {
        std::fprintf(stderr, "voxapp-gps-sim: cannot connect to ubus at %s\n", socket.c_str());
        return 1;
    }
    ubus_add_uloop(context);
    if (const int added = ubus_add_object(context, &object); added != UBUS_STATUS_OK) {
        std::fprintf(stderr, "voxapp-gps-sim: cannot add object: %s\n", ubus_strerror(added));
        ubus_free(context);
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    // Ends on SIGINT/SIGTERM, and (the library's default) when the connection is lost.
    uloop_run();
    ubus_free(context);
    uloop_done();
    return 0;
}
