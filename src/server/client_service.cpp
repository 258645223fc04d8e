#include "server/client_service.hpp"

namespace voxapp {

Result<std::shared_ptr<ClientService>> ClientService::create(
    std::shared_ptr<EventDispatcher> dispatcher, std::shared_ptr<InMemoryClientStore> store) {
    if (!dispatcher || !store) {
        return Error::fixed("ClientService needs a dispatcher and a store");
    }
    return std::make_shared<ClientService>(std::move(dispatcher), std::move(store));
}

Status ClientService::set_credentials(std::uint32_t client_id, std::string user_name,
                                      std::string password) {
    auto client = store_->find(client_id);
    if (client) {
        if (auto updated = client->update_credentials(std::move(user_name), std::move(password));
            !updated) {
            return updated;
        }
    } else {
        client = Client::create(client_id, std::move(user_name), std::move(password));
        if (!client) {
            return client.error();
        }
    }
    if (auto saved = store_->save(*client); !saved) {
        return saved;
    }
    publish(*client);
    return {};
}

Status ClientService::remove_client(std::uint32_t client_id) {
    auto client = store_->find(client_id);
    if (!client) {
        return client.error();
    }
    if (auto removed = client->remove(); !removed) {
        return removed;
    }
    if (auto erased = store_->remove(client_id); !erased) {
        return erased;
    }
    publish(*client);
    return {};
}

Result<ClientCredentials> ClientService::credentials(std::uint32_t client_id) const {
    const ClientCredentialsReader& reader = *store_;
    return reader.credentials(client_id);
}

void ClientService::publish(const Client& client) {
    for (const ClientEvent& event : client.pending_events()) {
        std::visit([this](const auto& payload) { dispatcher_->publish(payload); }, event);
    }
}

}  // namespace voxapp
