#include "platform/ubus_connection.hpp"

#if VOXAPP_HAVE_LIBUBUS
extern "C" {
#include <libubus.h>
}

#include "core/system_paths.hpp"
#endif

namespace voxapp {

UbusContextHandle connect_ubus() {
#if VOXAPP_HAVE_LIBUBUS
    const std::string socket = system_path(kUbusSocketPath);
    ubus_context* context = ubus_connect(socket.c_str());
    if (context == nullptr) {
        return nullptr;
    }
    return UbusContextHandle(context, ubus_free);
#else
    return nullptr;
#endif
}

}  // namespace voxapp
