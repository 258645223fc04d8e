#include "app/link_components.hpp"

#include "app/fatal.hpp"
#include "server/tcp_remote_connection.hpp"

namespace voxapp {

std::shared_ptr<LinkComponent> make_server_connection(TlsContextCache& contexts,
                                                      const ServerEndpoint& endpoint,
                                                      std::shared_ptr<Logger> logger,
                                                      RemoteLinkHandler& handler) {
    // Without a TLS context no device can reach the server: that is fatal.
    std::shared_ptr<const TlsClientContext> context =
        require(contexts.get(endpoint.ca_path), "TcpRemoteConnection::create");
    std::shared_ptr<TcpRemoteConnection> connection =
        require(TcpRemoteConnection::create(endpoint.host, endpoint.port,
                                            endpoint.idle_timeout_seconds, std::move(context)),
                "TcpRemoteConnection::create");
    connection->set_logger(std::move(logger));
    connection->set_handler(&handler);
    return connection;
}

}  // namespace voxapp
