#include "server/in_memory_client_store.hpp"

#include <memory>

namespace voxapp {

Result<std::shared_ptr<InMemoryClientStore>> InMemoryClientStore::create() {
    return std::make_shared<InMemoryClientStore>();
}

Status InMemoryClientStore::save(const Client& client) {
    clients_[client.id()] = {client.id(), client.user_name(), client.password()};
    return {};
}

Result<Client> InMemoryClientStore::find(std::uint32_t id) const {
    auto found = clients_.find(id);
    if (found == clients_.end()) {
        return Error::fixed("Client not found");
    }
    return Client::restore(id, found->second.user_name, found->second.password);
}

Status InMemoryClientStore::remove(std::uint32_t id) {
    clients_.erase(id);
    return {};
}

Result<ClientCredentials> InMemoryClientStore::credentials(std::uint32_t id) const {
    auto found = clients_.find(id);
    if (found == clients_.end()) {
        return Error::fixed("Client not found");
    }
    return found->second;
}

}  // namespace voxapp
