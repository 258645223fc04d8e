#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/result.hpp"
#include "system/events/client_events.hpp"

namespace voxapp {

using ClientEvent = std::variant<ClientCreated, ClientCredentialsChanged, ClientRemoved>;

// One unit's FTP account. The id is the serial number of the unit it belongs to. Changes are
// recorded as pending events, published by whoever saved the change.
class Client {
public:
    // Fails with "Username and password cannot be empty".
    static Result<Client> create(std::uint32_t id, std::string user_name, std::string password);
    // A stored account, without pending events.
    static Client restore(std::uint32_t id, std::string user_name, std::string password);

    // Does nothing when both texts equal the stored ones.
    Status update_credentials(std::string user_name, std::string password);
    Status remove();

    std::uint32_t id() const { return id_; }
    const std::string& user_name() const { return user_name_; }
    const std::string& password() const { return password_; }
    bool removed() const { return removed_; }
    const std::vector<ClientEvent>& pending_events() const { return pending_events_; }

private:
    Client(std::uint32_t id, std::string user_name, std::string password)
        : id_(id), user_name_(std::move(user_name)), password_(std::move(password)) {}

    std::uint32_t id_;
    std::string user_name_;
    std::string password_;
    bool removed_ = false;
    std::vector<ClientEvent> pending_events_;
};

// What the FTP publisher needs of an account.
struct ClientCredentials {
    std::uint32_t id = 0;
    std::string user_name;
    std::string password;

    bool operator==(const ClientCredentials&) const = default;
};

}  // namespace voxapp
