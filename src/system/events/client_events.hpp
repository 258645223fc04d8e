#pragma once

#include <cstdint>
#include <string>

namespace voxapp {

// FTP account events. The client id is the serial number of the unit that owns the account; the
// user name and password are those the account holds after the change (its last ones, for a
// removal).

struct ClientCreated {
    std::uint32_t client_id = 0;
    std::string user_name;
    std::string password;
};

struct ClientCredentialsChanged {
    std::uint32_t client_id = 0;
    std::string user_name;
    std::string password;
};

struct ClientRemoved {
    std::uint32_t client_id = 0;
    std::string user_name;
    std::string password;
};

}  // namespace voxapp
