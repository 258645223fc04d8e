#pragma once

#include <memory>

#include "core/clocks.hpp"
#include "platform/gps_tracker.hpp"
#include "server/device_link.hpp"
#include "server/link_component.hpp"
#include "server/tls_context_cache.hpp"

namespace voxapp {

// A device's GPS tracker as a component of its link.
class GpsTrackerComponent : public LinkComponent {
public:
    GpsTrackerComponent(GpsCommandSink& sink, std::shared_ptr<GpsSource> source,
                        std::shared_ptr<Logger> logger)
        // The commands' expiry is compared with the instruments' monotonic clock.
        : tracker_(sink, std::move(source), std::move(logger), monotonic_now) {}
    void start() override { (void)tracker_.start(); }
    void stop() override { tracker_.stop(); }

private:
    GpsTracker tracker_;
};

// A TLS connection to the server for one device, reporting to `handler`; its TLS context comes
// from `contexts`, shared with the other connections that use the same CA file.
std::shared_ptr<LinkComponent> make_server_connection(TlsContextCache& contexts,
                                                      const ServerEndpoint& endpoint,
                                                      std::shared_ptr<Logger> logger,
                                                      RemoteLinkHandler& handler);

}  // namespace voxapp
