#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "server/client.hpp"

namespace voxapp {

// The read-only face of the account store: what credential queries need.
class ClientCredentialsReader {
public:
    virtual ~ClientCredentialsReader() = default;
    // Fails with "Client not found".
    virtual Result<ClientCredentials> credentials(std::uint32_t id) const = 0;
};

// FTP accounts by client id, in memory only: they are lost at restart. No lock of its own; its
// users run on the main loop thread.
class InMemoryClientStore : public ClientCredentialsReader {
public:
    static Result<std::shared_ptr<InMemoryClientStore>> create();

    // Inserts the account or overwrites its user name and password.
    Status save(const Client& client);
    // Fails with "Client not found".
    Result<Client> find(std::uint32_t id) const;
    // Succeeds whether or not the account existed.
    Status remove(std::uint32_t id);
    Result<ClientCredentials> credentials(std::uint32_t id) const override;

private:
    std::map<std::uint32_t, ClientCredentials> clients_;
};

}  // namespace voxapp
