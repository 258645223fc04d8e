#include "server/client.hpp"

namespace voxapp {

Result<Client> Client::create(std::uint32_t id, std::string user_name, std::string password) {
    if (user_name.empty() || password.empty()) {
        return Error::fixed("Username and password cannot be empty");
    }
    Client client(id, std::move(user_name), std::move(password));
    client.pending_events_.emplace_back(ClientCreated{id, client.user_name_, client.password_});
    return client;
}

Client Client::restore(std::uint32_t id, std::string user_name, std::string password) {
    return Client(id, std::move(user_name), std::move(password));
}

Status Client::update_credentials(std::string user_name, std::string password) {
    if (removed_) {
        return Error::fixed("Cannot update credentials of a removed client");
    }
    if (user_name.empty() || password.empty()) {
        return Error::fixed("Username and password cannot be empty");
    }
    if (user_name == user_name_ && password == password_) {
        return {};
    }
    user_name_ = std::move(user_name);
    password_ = std::move(password);
    pending_events_.emplace_back(ClientCredentialsChanged{id_, user_name_, password_});
    return {};
}

Status Client::remove() {
    if (removed_) {
        return Error::fixed("Client already removed");
    }
    removed_ = true;
    pending_events_.emplace_back(ClientRemoved{id_, user_name_, password_});
    return {};
}

}  // namespace voxapp
