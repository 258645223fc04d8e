#pragma once

#include <memory>

#include "server/in_memory_client_store.hpp"
#include "system/events/event_dispatcher.hpp"

namespace voxapp {

// Creates, changes and removes the units' FTP accounts and publishes each change through the
// dispatcher after it was stored. Main loop thread.
class ClientService {
public:
    static Result<std::shared_ptr<ClientService>> create(
        std::shared_ptr<EventDispatcher> dispatcher, std::shared_ptr<InMemoryClientStore> store);

    // Creates the account or changes its credentials. Nothing is stored or published on error.
    Status set_credentials(std::uint32_t client_id, std::string user_name, std::string password);
    // Fails with "Client not found" for an unknown id.
    Status remove_client(std::uint32_t client_id);
    // Answered by the store's read-only face.
    Result<ClientCredentials> credentials(std::uint32_t client_id) const;

    ClientService(std::shared_ptr<EventDispatcher> dispatcher,
                  std::shared_ptr<InMemoryClientStore> store)
        : dispatcher_(std::move(dispatcher)), store_(std::move(store)) {}

private:
    void publish(const Client& client);

    std::shared_ptr<EventDispatcher> dispatcher_;
    std::shared_ptr<InMemoryClientStore> store_;
};

}  // namespace voxapp
