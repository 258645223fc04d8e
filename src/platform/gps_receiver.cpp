#include "platform/gps_receiver.hpp"

#include <cstring>
#include <utility>

#include "core/sigpipe_guard.hpp"
#include "platform/lgps.h"

namespace voxapp {
namespace {

#if VOXAPP_HAVE_LIBUBUS
class LibraryGpsReceiver final : public GpsReceiver {
public:
    explicit LibraryGpsReceiver(UbusContextHandle bus) : bus_(std::move(bus)) {}

    int get(GpsRecordBytes& record) override {
        if (!bus_) {
            return kGpsResultBusError;
        }
        lgps_data data{};
        int result;
        {
            // The bus is a socket: once ubusd has gone, the library's next write would raise
            // SIGPIPE and end the daemon instead of failing the read.
            SigpipeGuard guard;
            result = lgps_get(bus_.get(), &data);
        }
        static_assert(sizeof data == kGpsRecordSize);
        std::memcpy(record.data(), &data, sizeof data);
        return result;
    }

private:
    UbusContextHandle bus_;
};
#endif

}  // namespace

std::shared_ptr<GpsReceiver> make_gps_receiver(UbusContextHandle bus) {
#if VOXAPP_HAVE_LIBUBUS
    return std::make_shared<LibraryGpsReceiver>(std::move(bus));
#else
    (void)bus;
    return std::make_shared<UnreachableGpsReceiver>();
#endif
}

Result<std::shared_ptr<GpsReceiver>> connect_gps_receiver() {
    UbusContextHandle bus = connect_ubus();
    if (!bus) {
        return Error::fixed("Failed to connect to ubus.");
    }
    return make_gps_receiver(std::move(bus));
}

}  // namespace voxapp
