#pragma once

#include <memory>
#include <string>

struct ubus_context;

namespace voxapp {

// The system bus socket (relocated below VOXAPP_ROOT).
inline constexpr const char* kUbusSocketPath = "/var/run/ubus/ubus.sock";

// A ubus connection, shared by its users and freed with ubus_free when the last one lets go.
using UbusContextHandle = std::shared_ptr<ubus_context>;

// ubus_connect on `socket_path`, leaving the process's signal dispositions as they were; null
// when the bus cannot be reached (and always in a build without libubus). The caller frees the
// context with ubus_free. Blocks until ubusd greets the connection.
ubus_context* open_ubus_context(const std::string& socket_path);

// open_ubus_context on kUbusSocketPath; null when the bus cannot be reached (and always in a build
// without libubus).
UbusContextHandle connect_ubus();

}  // namespace voxapp
