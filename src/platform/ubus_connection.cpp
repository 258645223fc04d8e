#include "platform/ubus_connection.hpp"

#if VOXAPP_HAVE_LIBUBUS
extern "C" {
#include <libubus.h>
}

#include <signal.h>

#include <array>

#include "core/system_paths.hpp"
#endif

namespace voxapp {

#if VOXAPP_HAVE_LIBUBUS
namespace {

// ubus_connect sets up libubox's event loop, which takes SIGINT, SIGTERM and SIGCHLD wherever
// they still have their default action and ignores SIGPIPE. This process never runs that loop:
// a stop signal caught there would be lost. The loop leaves alone what is not at its default,
// so the stop signals are ignored while it is set up (no handler shows that is not the
// daemon's); afterwards every disposition is put back as it was.
class SignalDispositions {
public:
    SignalDispositions() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            sigaction(kSignals[i], nullptr, &saved_[i]);
        }
        for (const int stop : {SIGINT, SIGTERM}) {
            struct sigaction current {};
            if (sigaction(stop, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
                struct sigaction ignore {};
                ignore.sa_handler = SIG_IGN;
                sigemptyset(&ignore.sa_mask);
                sigaction(stop, &ignore, nullptr);
            }
        }
    }
    ~SignalDispositions() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            sigaction(kSignals[i], &saved_[i], nullptr);
        }
    }
    SignalDispositions(const SignalDispositions&) = delete;
    SignalDispositions& operator=(const SignalDispositions&) = delete;

private:
    static constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGCHLD, SIGPIPE};
    std::array<struct sigaction, kSignals.size()> saved_{};
};

}  // namespace
#endif

ubus_context* open_ubus_context(const std::string& socket_path) {
#if VOXAPP_HAVE_LIBUBUS
    SignalDispositions keep;
    return ubus_connect(socket_path.c_str());
#else
    (void)socket_path;
    return nullptr;
#endif
}

UbusContextHandle connect_ubus() {
#if VOXAPP_HAVE_LIBUBUS
    ubus_context* context = open_ubus_context(system_path(kUbusSocketPath));
    if (context == nullptr) {
        return nullptr;
    }
    return UbusContextHandle(context, ubus_free);
#else
    return nullptr;
#endif
}

}  // namespace voxapp
