#include "core/app/link_components.hpp"

#include "core/app/fatal.hpp"
#include "server/tcp_remote_connection.hpp"

namespace voxapp {

std::shared_ptr<LinkComponent> make_server_connection(const ServerEndpoint& endpoint,
                                                      std::shared_ptr<Logger> logger,
                                                      RemoteLinkHandler& handler) {
    // Without a TLS context no device can reach the server: that is fatal.
    std::shared_ptr<TcpRemoteConnection> connection =
        require(TcpRemoteConnection::create(endpoint.host, endpoint.port,
                                            endpoint.idle_timeout_seconds, endpoint.ca_path),
                "TcpRemoteConnection::create");
    connection->set_logger(std::move(logger));
    connection->set_handler(&handler);
    return connection;
}

}  // namespace voxapp
